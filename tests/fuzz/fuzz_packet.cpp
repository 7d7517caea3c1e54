// Feeds arbitrary bytes to the packet assembler, as a stream reader does, and checks that
// every packet it completes is well formed and survives a copy and the wire form; each
// complete packet is also run through the UEI classifiers and decoder.
#include "link/aPacket.h"
#include "link/aUEI.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  aPacket* p = aPacket_Create();
  if (!p) return 0;
  for (size_t i = 0; i < size; ++i) {
    aErr err = aPacket_AddByte(p, data[i]);
    if (p->dataSize > aPACKET_MAX_DATA || p->assembled > aPACKET_MAX_WIRE) std::abort();
    if (err != aErrNone) {
      if (err != aErrPacket && err != aErrOverrun) std::abort();
      if (p->assembled != 0) std::abort(); // a rejected byte starts over
      continue;
    }
    if (!aPacket_IsComplete(p)) continue;
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t n = 0;
    if (aPacket_GetBytes(p, wire, sizeof wire, &n) != aErrNone || n != p->dataSize + 2u)
      std::abort();
    if (wire[0] == 0 || wire[1] > aPACKET_MAX_DATA) std::abort();
    aPacket* copy = aPacket_Copy(p);
    if (!copy || std::memcmp(copy->data, p->data, p->dataSize) != 0) std::abort();
    aPacket_Destroy(&copy);

    const bool ueiPayload = aUEI_isUEIPayload(p);
    if (ueiPayload == aUEI_isNotUEIPayload(p)) std::abort();
    if (aUEI_isStreamPacket(p) && !ueiPayload) std::abort();
    uei value{};
    aUEI_Decode(p, &value);
    aUEI_getBytesSequence(p);
    aUEI_getBytesContinue(p);
    aPacket_Reset(p);
  }
  aPacket_Destroy(&p);
  return 0;
}
