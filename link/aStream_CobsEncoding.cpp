#include "link/aStream_CobsEncoding.h"

#include "link/aPacket.h"
#include "link/cobs.h"
#include "link/crc8.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t sCOBS_CHECK = 0xC0B5;
// A frame carries a packet's wire form and its CRC; its encoded form adds one code byte.
constexpr size_t sFRAME_DECODED = aPACKET_MAX_WIRE + 1;
constexpr size_t sFRAME_ENCODED = cobs_MaxEncodedLength(sFRAME_DECODED);

struct CobsStream {
  uint16_t check;
  aStreamGetProc get;
  aStreamPutProc put;
  aStreamWriteProc write;
  aStreamDeleteProc del;
  void* reference;
  // Receiving: the encoded bytes of the frame in progress, then the decoded packet bytes.
  uint8_t receive[sFRAME_ENCODED];
  size_t receiveCount;
  bool overlong; // the frame in progress did not fit and is dropped at its delimiter
  uint8_t ready[sFRAME_DECODED];
  size_t readyCount;
  size_t readPosition;
  bool frameReady;
  // Sending: packets are rebuilt from the bytes written, then framed one by one.
  aPacket* assembler;
  uint8_t send[sFRAME_ENCODED + 1];
  size_t sendLength;
};

CobsStream* sRecord(void* reference) {
  CobsStream* record = static_cast<CobsStream*>(reference);
  return record && record->check == sCOBS_CHECK ? record : nullptr;
}

// Checks a decoded frame: the packet's wire form, whose length byte matches, then its CRC.
bool sFrameGood(const uint8_t* frame, size_t length) {
  if (length <= 2 || length > sFRAME_DECODED) return false;
  if (frame[1] > aPACKET_MAX_DATA || length != static_cast<size_t>(frame[1]) + 3) return false;
  return frame[0] != 0 && crc8_Compute(frame, length - 1) == frame[length - 1];
}

aErr sCobsGet(char* byte, void* reference) {
  CobsStream* s = sRecord(reference);
  if (!s || !byte) return aErrParam;
  if (s->frameReady) {
    *byte = static_cast<char>(s->ready[s->readPosition++]);
    if (s->readPosition >= s->readyCount) s->frameReady = false;
    return aErrNone;
  }
  if (!s->get) return aErrMode;
  char in = 0;
  aErr err = s->get(&in, s->reference);
  // "Nothing there" is idle; anything else (end of input, a vanished device) goes up.
  if (err != aErrNone) return err;
  const uint8_t value = static_cast<uint8_t>(in);
  if (value != 0) {
    if (s->receiveCount < sizeof(s->receive))
      s->receive[s->receiveCount++] = value;
    else
      s->overlong = true;
    return aErrNotReady;
  }
  // A delimiter: decode and check the frame collected so far.
  const size_t count = s->receiveCount;
  const bool overlong = s->overlong;
  s->receiveCount = 0;
  s->overlong = false;
  if (count == 0) return aErrNotReady;
  size_t decoded = 0;
  if (overlong || !cobs_Decode(s->receive, count, s->receive, sizeof(s->receive), &decoded) ||
      !sFrameGood(s->receive, decoded))
    return aErrPacket;
  std::memcpy(s->ready, s->receive, decoded - 1);
  s->readyCount = decoded - 1;
  s->readPosition = 0;
  s->frameReady = true;
  return aErrNotReady;
}

aErr sWrapped(CobsStream* s, const uint8_t* data, size_t length) {
  if (s->write) return s->write(reinterpret_cast<const char*>(data), length, s->reference);
  if (!s->put) return aErrMode;
  for (size_t i = 0; i < length; ++i) {
    aErr err = s->put(reinterpret_cast<const char*>(&data[i]), s->reference);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

// Frames the completed packet and writes it. `*transportFailed` tells whether the error came
// from the wrapped transport rather than from framing this one packet.
aErr sSendPacket(CobsStream* s, bool* transportFailed) {
  *transportFailed = false;
  uint8_t frame[sFRAME_DECODED];
  size_t length = 0;
  aErr err = aPacket_GetBytes(s->assembler, frame, sizeof(frame), &length);
  aPacket_Reset(s->assembler);
  if (err != aErrNone) return err;
  frame[length] = crc8_Compute(frame, length);
  s->sendLength = cobs_Encode(frame, length + 1, s->send, sizeof(s->send) - 1);
  if (s->sendLength == 0) return aErrOverrun;
  s->send[s->sendLength++] = 0;
  err = sWrapped(s, s->send, s->sendLength);
  *transportFailed = err != aErrNone;
  return err;
}

// Rebuilds packets from the bytes and sends each complete one as a frame. A byte that the
// assembler rejects clears the packet in progress, so a stray byte costs at most that packet
// and never shifts the ones after it; the result then says that bytes were dropped. A frame
// that the transport fails to take ends the write with that error: the frames after it would
// meet the same stalled or vanished port, each waiting out its own time-out.
aErr sCobsWrite(const char* data, size_t length, void* reference) {
  CobsStream* s = sRecord(reference);
  if (!s || (!data && length)) return aErrParam;
  aErr result = aErrNone;
  bool dropped = false;
  for (size_t i = 0; i < length; ++i) {
    if (aPacket_AddByte(s->assembler, static_cast<uint8_t>(data[i])) != aErrNone) {
      dropped = true;
      continue;
    }
    if (aPacket_IsComplete(s->assembler)) {
      bool transportFailed = false;
      aErr err = sSendPacket(s, &transportFailed);
      if (transportFailed) return err;
      if (err != aErrNone) result = err;
    }
  }
  if (result == aErrNone && dropped) result = aErrPacket;
  return result;
}

aErr sCobsPut(const char* byte, void* reference) {
  CobsStream* s = sRecord(reference);
  if (!s || !byte) return aErrParam;
  if (s->put) return s->put(byte, s->reference);
  if (s->write) return s->write(byte, 1, s->reference);
  return aErrMode;
}

aErr sCobsDelete(void* reference) {
  CobsStream* s = sRecord(reference);
  if (!s) return aErrParam;
  aErr err = s->del ? s->del(s->reference) : aErrNone;
  aPacket_Destroy(&s->assembler);
  s->check = 0;
  std::free(s);
  return err;
}

} // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStreamRef* stream) {
  if (!stream) return aErrParam;
  *stream = nullptr;
  CobsStream* s = static_cast<CobsStream*>(std::calloc(1, sizeof(CobsStream)));
  if (!s) return aErrMemory;
  s->assembler = aPacket_Create();
  if (!s->assembler) {
    std::free(s);
    return aErrMemory;
  }
  s->check = sCOBS_CHECK;
  s->get = get;
  s->put = put;
  s->write = write;
  s->del = del;
  s->reference = reference;
  *stream = aStream_Create(sCobsGet, sCobsPut, sCobsWrite, sCobsDelete, s);
  if (!*stream) {
    aPacket_Destroy(&s->assembler);
    std::free(s);
    return aErrMemory;
  }
  return aErrNone;
}
