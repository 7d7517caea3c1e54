#include "link/cobs.h"

#include <cstring>

size_t cobs_Encode(const uint8_t* in, size_t length, uint8_t* out, size_t size) {
  if ((!in && length) || !out || size < cobs_MaxEncodedLength(length)) return 0;
  size_t codeAt = 0; // where the code byte of the current run goes
  size_t o = 1;
  uint8_t code = 1;
  for (size_t i = 0; i < length; ++i) {
    if (in[i] == 0) {
      out[codeAt] = code;
      codeAt = o++;
      code = 1;
      continue;
    }
    out[o++] = in[i];
    if (++code == 0xFF) {
      // A run of 254 non-zero bytes ends without an implied zero. A new code byte follows
      // only when more input does, so a maximal run at the end adds no extra byte.
      out[codeAt] = code;
      code = 1;
      if (i + 1 < length)
        codeAt = o++;
      else
        return o;
    }
  }
  out[codeAt] = code;
  return o;
}

bool cobs_Decode(const uint8_t* in, size_t length, uint8_t* out, size_t size, size_t* decoded) {
  if ((!in && length) || (!out && size) || !decoded) return false;
  size_t i = 0;
  size_t o = 0;
  while (i < length) {
    const uint8_t code = in[i++];
    if (code == 0) return false;
    const size_t run = code - 1u;
    if (run > length - i) return false; // the run would read past the input
    for (size_t k = 0; k < run; ++k) {
      if (in[i] == 0 || o >= size) return false;
      // `out` may be `in`: the output never overtakes the input (o < i here).
      out[o++] = in[i++];
    }
    if (code != 0xFF && i < length) {
      if (o >= size) return false;
      out[o++] = 0;
    }
  }
  *decoded = o;
  return true;
}
