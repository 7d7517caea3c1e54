#include "link/aPacket.h"

#include <cstdlib>
#include <cstring>

namespace {

const aPacket sTemplate = {aPACKET_CHECK, 0, 0, 0, {0}};

aPacket* sNewPacket() {
  aPacket* packet = static_cast<aPacket*>(std::malloc(sizeof(aPacket)));
  if (packet) *packet = sTemplate;
  return packet;
}

aErr sDataByte(const aPacket* packet, uint8_t* out, uint8_t position, uint8_t mask) {
  if (!out) return aErrParam;
  if (!aPacket_IsValid(packet) || packet->dataSize <= position ||
      packet->dataSize > aPACKET_MAX_DATA)
    return aErrPacket;
  *out = packet->data[position] & mask;
  return aErrNone;
}

void sClear(aPacket* packet) {
  packet->assembled = 0;
  packet->address = 0;
  packet->dataSize = 0;
  std::memset(packet->data, 0, sizeof(packet->data));
}

} // namespace

bool aPacket_IsValid(const aPacket* packet) {
  return packet != nullptr && packet->check == aPACKET_CHECK;
}

aPacket* aPacket_Create(void) {
  return sNewPacket();
}

aPacket* aPacket_CreateWithData(uint8_t address, size_t length, const uint8_t* data) {
  if (!data || length > aPACKET_MAX_DATA) return nullptr;
  aPacket* packet = sNewPacket();
  if (!packet) return nullptr;
  packet->address = address;
  packet->dataSize = static_cast<uint8_t>(length);
  packet->assembled = static_cast<uint8_t>(length + 2);
  if (length) std::memcpy(packet->data, data, length);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aPacket_IsValid(packet) || packet->dataSize > aPACKET_MAX_DATA) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
  return sDataByte(packet, command, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return sDataByte(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  return sDataByte(packet, index, 2, 0x1F);
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aPacket_IsValid(packet)) return aErrParam;
  sClear(packet);
  return aErrNone;
}

// The position of a byte in the wire form decides its role (address, length, data), so an
// empty packet followed by a stray byte can never have that byte taken as a second length.
// Every rejected byte clears the packet: nothing of a bad packet leaks into the next one.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aPacket_IsValid(packet)) return aErrParam;
  if (packet->assembled >= aPACKET_MAX_WIRE) {
    sClear(packet);
    return aErrOverrun;
  }
  const uint8_t position = packet->assembled;
  if (position == 0) {
    if (byte == 0) {
      sClear(packet);
      return aErrPacket;
    }
    packet->address = byte;
  } else if (position == 1) {
    if (byte > aPACKET_MAX_DATA) {
      sClear(packet);
      return aErrPacket;
    }
    packet->dataSize = byte;
  } else {
    const uint8_t index = position - 2;
    if (index >= packet->dataSize) { // more bytes than announced
      sClear(packet);
      return aErrPacket;
    }
    packet->data[index] = byte;
  }
  packet->assembled = position + 1;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aPacket_IsValid(packet) && packet->address != 0 && packet->dataSize <= aPACKET_MAX_DATA &&
         packet->assembled == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written) {
  if (!aPacket_IsValid(packet) || !buffer) return aErrParam;
  if (packet->dataSize > aPACKET_MAX_DATA) return aErrPacket;
  const size_t length = static_cast<size_t>(packet->dataSize) + 2;
  if (size < length) return aErrOverrun;
  buffer[0] = packet->address;
  buffer[1] = packet->dataSize;
  std::memcpy(buffer + 2, packet->data, packet->dataSize);
  if (written) *written = length;
  return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (!packet || !*packet) return aErrParam;
  (*packet)->check = 0;
  std::free(*packet);
  *packet = nullptr;
  return aErrNone;
}
