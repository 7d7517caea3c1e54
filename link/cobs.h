#pragma once
// Consistent Overhead Byte Stuffing: one code byte per run of up to 254 non-zero bytes; the
// encoded form holds no zero byte.

#include <cstddef>
#include <cstdint>

// Largest encoded size of `length` bytes (without a frame delimiter).
constexpr size_t cobs_MaxEncodedLength(size_t length) {
  return length + length / 254 + 1;
}

// Encodes `length` bytes into `out` (capacity `size`). Returns the encoded length, or 0 when
// `out` is too small or an argument is null.
size_t cobs_Encode(const uint8_t* in, size_t length, uint8_t* out, size_t size);

// Decodes `length` encoded bytes (no delimiter) into `out` (capacity `size`; may be `in`
// itself). Every code byte is bounded by the input and the output. Returns true and the
// decoded length in `*decoded`; false for a zero byte, a code that runs past the end, or an
// output that does not fit.
bool cobs_Decode(const uint8_t* in, size_t length, uint8_t* out, size_t size, size_t* decoded);
