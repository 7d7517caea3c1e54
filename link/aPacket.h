#pragma once
// Device packets: an address byte, a data length byte and up to 28 data bytes.
//
// The wire form, used on every byte stream, is the address, the data length, then the data;
// nothing else. aPacket_AddByte rebuilds a packet from such a stream one byte at a time.

#include "link/aError.h"

#include <cstddef>
#include <cstdint>

constexpr uint16_t aPACKET_CHECK = 0xBEEF;      // check word of a valid packet record
constexpr uint8_t aPACKET_MAX_DATA = 28;        // data bytes in one packet
constexpr uint8_t aPACKET_MAX_WIRE = 30;        // address + length + data
constexpr uint8_t aPACKET_ADDRESS_QUERY = 0xAD; // link command: address query / synchronisation
constexpr uint8_t cmdFORCEROUTE = 0xAF;         // link command: one data byte, 1 start, 0 stop

struct aPacket {
  uint16_t check;    // aPACKET_CHECK while valid
  uint8_t assembled; // wire bytes taken in by the assembler (2 + dataSize when built from data)
  uint8_t address;   // module address or link command; 0 before the assembler has one
  uint8_t dataSize;  // 0 .. aPACKET_MAX_DATA
  uint8_t data[aPACKET_MAX_DATA];
};

// True for a non-null record with an intact check word.
bool aPacket_IsValid(const aPacket* packet);

// A fresh packet (check word set, everything else 0), or null when memory is short.
aPacket* aPacket_Create(void);

// A packet with the given address and data; null for null data, a length above 28 or no memory.
aPacket* aPacket_CreateWithData(uint8_t address, size_t length, const uint8_t* data);

// A new packet with the same address, length and data; null for an invalid packet.
aPacket* aPacket_Copy(const aPacket* packet);

// Data byte 0; data byte 1 & 0x3F; data byte 2 & 0x1F. aErrParam for a null output,
// aErrPacket for an invalid packet or one with too few data bytes.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Clears the assembled count, address, length and all data bytes.
aErr aPacket_Reset(aPacket* packet);

// Feeds the next wire byte to the assembler. A rejected byte (a zero address, a length above
// 28, more bytes than announced: aErrPacket; more than 30 bytes: aErrOverrun) resets the
// packet, so the caller starts over with the next byte.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// True when the address, the length and all announced data bytes have been taken in.
bool aPacket_IsComplete(const aPacket* packet);

// Writes the wire form into `buffer` and its length (dataSize + 2) into `written` when given.
// aErrParam for an invalid packet or a null buffer; aErrOverrun (nothing written) when the
// buffer is too short.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written);

// Frees the packet and sets `*packet` to null. aErrParam for a null pointer or a null packet.
aErr aPacket_Destroy(aPacket** packet);
