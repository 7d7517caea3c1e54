#include "server/base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The value of one alphabet character, or -1 for any other byte.
int _value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

} // namespace

unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length) {
  if (output_length) *output_length = 0;
  if (input_length % 4 != 0 || (input_length && !data)) return nullptr;

  // Fill characters: at most two, only at the very end.
  size_t fill = 0;
  if (input_length >= 4) {
    if (data[input_length - 1] == '=') fill = (data[input_length - 2] == '=') ? 2 : 1;
  }
  size_t length = input_length / 4 * 3 - fill;
  unsigned char* out = static_cast<unsigned char*>(malloc(length + 1));
  if (!out) return nullptr;

  size_t o = 0;
  for (size_t i = 0; i < input_length; i += 4) {
    bool last = (i + 4 == input_length);
    size_t valid = last ? 4 - fill : 4;
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      int v = 0;
      if (j < valid) {
        v = _value(static_cast<unsigned char>(data[i + j]));
        if (v < 0) {
          free(out);
          return nullptr;
        }
      }
      group = (group << 6) | static_cast<uint32_t>(v);
    }
    out[o++] = static_cast<unsigned char>(group >> 16);
    if (valid > 2) out[o++] = static_cast<unsigned char>(group >> 8);
    if (valid > 3) out[o++] = static_cast<unsigned char>(group);
  }
  out[length] = 0;
  if (output_length) *output_length = length;
  return out;
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
