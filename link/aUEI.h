#pragma once
// UEI payloads: one value of one entity of a module, laid out in a packet's data bytes as
// command, option (bit 6 get, bit 7 set), specifier (index in bits 0-4, bit 5 request,
// bit 6 stream, bit 7 error), an optional subindex, then the value, most significant byte
// first. Bytes values go as chunks of up to 24 bytes, each followed by a sequence byte.

#include "link/aPacket.h"

#include <cstddef>
#include <cstdint>

// Option byte flags.
constexpr uint8_t aUEI_OPTION_MASK = 0x3F;
constexpr uint8_t aUEI_GET = 0x40;
constexpr uint8_t aUEI_SET = 0x80;
constexpr uint8_t aUEI_REPLY_SET = 0xC0; // option flags of the reply to a set

// Specifier byte flags.
constexpr uint8_t aUEI_INDEX_MASK = 0x1F;
constexpr uint8_t aUEI_REQUEST = 0x20;
constexpr uint8_t aUEI_STREAM = 0x40;
constexpr uint8_t aUEI_ERROR = 0x80;

// Bytes values.
constexpr size_t aUEI_BYTES_CHUNK = 24;       // value bytes per packet
constexpr uint8_t aUEI_BYTES_CONTINUE = 0x80; // sequence byte: more chunks follow
constexpr uint8_t aUEI_BYTES_SEQUENCE = 0x7F; // sequence byte: chunk number modulo 128

// Commands that are not UEI payloads.
constexpr uint8_t cmdHEARTBEAT = 0;
constexpr uint8_t cmdSLOT = 4;
constexpr uint8_t cmdI2C = 8;
constexpr uint8_t cmdECHO = 23;
constexpr uint8_t cmdINFO = 73;
constexpr uint8_t cmdFACTORY = 94;

// Value types of a uei.
enum ueiType : uint32_t {
  ueiTypeNone = 0,
  ueiTypeByte = 1,
  ueiTypeShort = 2,
  ueiTypeInt = 4,
  ueiTypeBytes = 5,
};

// A bytes value: the caller's buffer and the state of a chunked transfer.
struct ueiBytes {
  uint8_t* buffer;    // the caller's buffer
  uint8_t sequence;   // chunk number expected next
  uint8_t more;       // more-chunks flag of the last chunk received
  uint64_t length;    // value length (sending) or buffer capacity (receiving)
  uint64_t* received; // running count of bytes received
};

// One request or reply as the object layer sees it.
struct uei {
  uint8_t module;    // module address (even, not zero)
  uint8_t command;   // data byte 0
  uint8_t option;    // data byte 1, flags included
  uint8_t specifier; // data byte 2: index and flags
  union {
    uint8_t byteVal;
    uint16_t shortVal;
    uint32_t intVal;
    ueiBytes bytes;
  } v;
  uint32_t type; // ueiType
};

// Big-endian conversions; `bytes` is in wire order.
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);

// Converts `count` 32-bit words in place from wire order to host values.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Sequence byte of a bytes chunk (the last data byte): the chunk number, the more-chunks flag,
// and whether the packet is a full chunk (data length 27 or 28). 0 / false for a packet
// without data.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
bool aUEI_getBytesFullPacket(const aPacket* packet);

// Classifiers; a null packet gives false from all three.
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
bool aUEI_isStreamPacket(const aPacket* packet);

// Lays out the data bytes of a uei of type none, byte, short or int: command, option,
// specifier, the subindex when `subindex` is 0..255 (-1 for none), then the value.
// `data` holds at least aPACKET_MAX_DATA bytes. aErrParam for a null argument or another type.
aErr aUEI_Encode(const uei* value, int subindex, uint8_t* data, uint8_t* length);

// Builds the packet of a uei of type none, byte, short or int (see aUEI_Encode); null on failure.
aPacket* aUEI_CreatePacket(const uei* value, int subindex);

// Number of packets a bytes value of `total` bytes goes in (at least one).
size_t aUEI_BytesChunkCount(size_t total);

// Builds packet number `chunk` (counting from 0) of a bytes value of `total` bytes for the
// module at `address`: command, option, specifier, up to 24 value bytes, then the sequence
// byte. Null when `chunk` is beyond the last one, `value` is null while `total` is not 0, or
// memory is short.
aPacket* aUEI_CreateBytesChunk(uint8_t address, uint8_t command, uint8_t option, uint8_t specifier,
                               const uint8_t* value, size_t total, size_t chunk);

// Reads a reply into `value`: an error reply (bit 7 of data byte 2) stores data byte 2 in the
// specifier and the error code (data byte 3) as the byte value and gives the code; otherwise
// data lengths 3, 4, 5 and 7 set type none, byte, short and int with the value, any other
// length leaves type and value as they are. aErrParam for a null argument, aErrPacket for an
// invalid packet or one with fewer than 3 data bytes.
aErr aUEI_Decode(const aPacket* packet, uei* value);
