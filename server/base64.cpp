#include "server/base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of each byte as an alphabet character, or -1 for a byte outside the alphabet.
struct DecodeTable {
  signed char value[256];
  constexpr DecodeTable() : value() {
    for (int i = 0; i < 256; ++i)
      value[i] = -1;
    for (int i = 0; i < 64; ++i)
      value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  }
};
constexpr DecodeTable kDecode;

} // namespace

namespace {

// Decodes `input_length` characters of `in` (a multiple of 4) into `out`, which may be `in`
// itself: each group is read before its three bytes are written, and writing never overtakes
// reading. Returns the result length, or -1 for a character outside the alphabet or a
// misplaced fill character.
long long _decode(const unsigned char* in, size_t input_length, unsigned char* out) {
  // Fill characters: at most two, only at the very end.
  size_t fill = 0;
  if (input_length >= 4 && in[input_length - 1] == '=')
    fill = (in[input_length - 2] == '=') ? 2 : 1;
  size_t groups = input_length / 4;
  size_t full = fill ? groups - 1 : groups; // groups without fill characters
  unsigned char* o = out;
  for (size_t g = 0; g < full; ++g, in += 4) {
    int a = kDecode.value[in[0]], b = kDecode.value[in[1]];
    int c = kDecode.value[in[2]], d = kDecode.value[in[3]];
    if ((a | b | c | d) < 0) return -1;
    uint32_t group = (static_cast<uint32_t>(a) << 18) | (static_cast<uint32_t>(b) << 12) |
                     (static_cast<uint32_t>(c) << 6) | static_cast<uint32_t>(d);
    *o++ = static_cast<unsigned char>(group >> 16);
    *o++ = static_cast<unsigned char>(group >> 8);
    *o++ = static_cast<unsigned char>(group);
  }
  if (fill) {
    // The last group: two or three characters of data, then the fill.
    int a = kDecode.value[in[0]], b = kDecode.value[in[1]];
    int c = fill == 1 ? kDecode.value[in[2]] : 0;
    if ((a | b | c) < 0) return -1;
    uint32_t group = (static_cast<uint32_t>(a) << 18) | (static_cast<uint32_t>(b) << 12) |
                     (static_cast<uint32_t>(c) << 6);
    *o++ = static_cast<unsigned char>(group >> 16);
    if (fill == 1) *o++ = static_cast<unsigned char>(group >> 8);
  }
  return static_cast<long long>(o - out);
}

} // namespace

unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length) {
  if (output_length) *output_length = 0;
  if (input_length % 4 != 0 || (input_length && !data)) return nullptr;
  unsigned char* out = static_cast<unsigned char*>(malloc(input_length / 4 * 3 + 1));
  if (!out) return nullptr;
  long long length = _decode(reinterpret_cast<const unsigned char*>(data), input_length, out);
  if (length < 0) {
    free(out);
    return nullptr;
  }
  out[length] = 0;
  if (output_length) *output_length = static_cast<size_t>(length);
  return out;
}

long long base64_decode_in_place(char* data, size_t input_length) {
  if (input_length % 4 != 0 || (input_length && !data)) return -1;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(data);
  return _decode(bytes, input_length, bytes);
}

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length) {
  if (output_length) *output_length = 0;
  if (input_length && !data) return nullptr;
  size_t length = (input_length + 2) / 3 * 4;
  char* out = static_cast<char*>(malloc(length + 1));
  if (!out) return nullptr;
  size_t o = 0;
  for (size_t i = 0; i < input_length; i += 3) {
    size_t n = input_length - i < 3 ? input_length - i : 3;
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (n > 1) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (n > 2) group |= data[i + 2];
    out[o++] = kAlphabet[(group >> 18) & 0x3F];
    out[o++] = kAlphabet[(group >> 12) & 0x3F];
    out[o++] = n > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    out[o++] = n > 2 ? kAlphabet[group & 0x3F] : '=';
  }
  out[length] = 0;
  if (output_length) *output_length = length;
  return out;
}
