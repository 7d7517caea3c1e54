#include "link/aUEI.h"

#include <cstring>

uint16_t aUEI_RetrieveShort(const uint8_t* bytes) {
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
         (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

void aUEI_StoreShort(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 8);
  bytes[1] = static_cast<uint8_t>(value);
}

void aUEI_StoreInt(uint8_t* bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value >> 24);
  bytes[1] = static_cast<uint8_t>(value >> 16);
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
  if (!words) return;
  for (size_t i = 0; i < count; ++i) {
    uint8_t bytes[4];
    std::memcpy(bytes, &words[i], 4);
    words[i] = aUEI_RetrieveInt(bytes);
  }
}

namespace {

bool sHasData(const aPacket* packet) {
  return aPacket_IsValid(packet) && packet->dataSize > 0 && packet->dataSize <= aPACKET_MAX_DATA;
}

uint8_t sLastByte(const aPacket* packet) {
  return packet->data[packet->dataSize - 1];
}

} // namespace

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  return sHasData(packet) ? sLastByte(packet) & aUEI_BYTES_SEQUENCE : 0;
}

bool aUEI_getBytesContinue(const aPacket* packet) {
  return sHasData(packet) && (sLastByte(packet) & aUEI_BYTES_CONTINUE) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return aPacket_IsValid(packet) && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (!aPacket_IsValid(packet)) return false;
  if (packet->dataSize == 0) return true; // no command byte at all
  switch (packet->data[0]) {
  case 0:
  case 1:
  case 2:
  case 4:
  case 8:
  case 9:
  case 23:
  case 24:
  case 73:
  case 94:
  case 95:
  case 173:
  case 175:
    return true;
  default:
    return false;
  }
}

bool aUEI_isUEIPayload(const aPacket* packet) {
  return aPacket_IsValid(packet) && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && packet->dataSize > 4 && packet->data[1] < 64 &&
         (packet->data[2] & aUEI_STREAM) != 0;
}

aErr aUEI_Encode(const uei* value, int subindex, uint8_t* data, uint8_t* length) {
  if (!value || !data || !length || subindex > 255) return aErrParam;
  uint8_t n = 0;
  data[n++] = value->command;
  data[n++] = value->option;
  data[n++] = value->specifier;
  if (subindex >= 0) data[n++] = static_cast<uint8_t>(subindex);
  switch (value->type) {
  case ueiTypeNone:
    break;
  case ueiTypeByte:
    data[n++] = value->v.byteVal;
    break;
  case ueiTypeShort:
    aUEI_StoreShort(data + n, value->v.shortVal);
    n += 2;
    break;
  case ueiTypeInt:
    aUEI_StoreInt(data + n, value->v.intVal);
    n += 4;
    break;
  default:
    return aErrParam;
  }
  *length = n;
  return aErrNone;
}

aPacket* aUEI_CreatePacket(const uei* value, int subindex) {
  uint8_t data[aPACKET_MAX_DATA];
  uint8_t length = 0;
  if (aUEI_Encode(value, subindex, data, &length) != aErrNone) return nullptr;
  return aPacket_CreateWithData(value->module, length, data);
}

size_t aUEI_BytesChunkCount(size_t total) {
  return total == 0 ? 1 : (total + aUEI_BYTES_CHUNK - 1) / aUEI_BYTES_CHUNK;
}

aPacket* aUEI_CreateBytesChunk(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier,
                               const uint8_t* value, size_t total, size_t chunk) {
  if (!value && total) return nullptr;
  if (chunk >= aUEI_BytesChunkCount(total)) return nullptr;
  const size_t offset = chunk * aUEI_BYTES_CHUNK;
  const size_t remaining = total - offset;
  const size_t size = remaining < aUEI_BYTES_CHUNK ? remaining : aUEI_BYTES_CHUNK;
  const bool more = offset + size < total;
  uint8_t data[aPACKET_MAX_DATA];
  data[0] = command;
  data[1] = option;
  data[2] = specifier;
  if (size) std::memcpy(data + 3, value + offset, size);
  data[3 + size] =
      static_cast<uint8_t>((more ? aUEI_BYTES_CONTINUE : 0) | (chunk & aUEI_BYTES_SEQUENCE));
  return aPacket_CreateWithData(address, size + 4, data);
}

aErr aUEI_Decode(const aPacket* packet, uei* value) {
  if (!value) return aErrParam;
  if (!aPacket_IsValid(packet) || packet->dataSize < 3 || packet->dataSize > aPACKET_MAX_DATA)
    return aErrPacket;
  const uint8_t* d = packet->data;
  if (d[2] & aUEI_ERROR) {
    value->specifier = d[2];
    // An error reply without its code byte still fails; it reads as an unknown error.
    value->v.byteVal = packet->dataSize > 3 ? d[3] : static_cast<uint8_t>(aErrUnknown);
    const aErr code = value->v.byteVal;
    return code != aErrNone ? code : static_cast<aErr>(aErrUnknown);
  }
  switch (packet->dataSize) {
  case 3:
    value->type = ueiTypeNone;
    break;
  case 4:
    value->type = ueiTypeByte;
    value->v.byteVal = d[3];
    break;
  case 5:
    value->type = ueiTypeShort;
    value->v.shortVal = aUEI_RetrieveShort(d + 3);
    break;
  case 7:
    value->type = ueiTypeInt;
    value->v.intVal = aUEI_RetrieveInt(d + 3);
    break;
  default:
    break;
  }
  return aErrNone;
}
