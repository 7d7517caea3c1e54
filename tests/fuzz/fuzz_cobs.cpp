// COBS decoding of arbitrary input into a bounded buffer, encode-decode round trips, and the
// framing stream reading an arbitrary byte stream: every byte it hands out belongs to a
// frame whose length and CRC were checked.
#include "link/aPacket.h"
#include "link/aStream_CobsEncoding.h"
#include "link/cobs.h"
#include "link/crc8.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t at;
};

aErr sGet(char* byte, void* ref) {
  Input* in = static_cast<Input*>(ref);
  if (in->at >= in->size) return aErrEOF;
  *byte = static_cast<char>(in->data[in->at++]);
  return aErrNone;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Decoding into buffers of every small size never writes past them.
  for (size_t capacity : {size_t(0), size_t(8), size_t(31), size}) {
    std::vector<uint8_t> out(capacity);
    size_t decoded = 0;
    if (cobs_Decode(data, size, out.data(), capacity, &decoded) && decoded > capacity) std::abort();
  }
  // Round trip.
  std::vector<uint8_t> encoded(cobs_MaxEncodedLength(size));
  size_t n = cobs_Encode(data, size, encoded.data(), encoded.size());
  if (n == 0 || std::memchr(encoded.data(), 0, n)) std::abort();
  std::vector<uint8_t> back(size + 1);
  size_t decoded = 0;
  if (!cobs_Decode(encoded.data(), n, back.data(), back.size(), &decoded) || decoded != size ||
      (size && std::memcmp(back.data(), data, size) != 0))
    std::abort();

  // The framing stream: collect what it hands out and check it packet by packet.
  Input in{data, size, 0};
  aStreamRef stream = nullptr;
  if (aStream_CreateCobsEncoding(sGet, nullptr, nullptr, nullptr, &in, &stream) != aErrNone)
    return 0;
  aPacket* p = aPacket_Create();
  for (size_t guard = 0; guard < 4 * size + 64; ++guard) {
    char byte;
    aErr err = aStream_Read(stream, &byte, 1);
    if (err == aErrEOF) break;
    if (err != aErrNone) continue;
    // Bytes come only from checked frames, so they always assemble without error.
    if (aPacket_AddByte(p, static_cast<uint8_t>(byte)) != aErrNone) std::abort();
    if (aPacket_IsComplete(p)) aPacket_Reset(p);
  }
  aPacket_Destroy(&p);
  aStream_Destroy(&stream);
  return 0;
}
