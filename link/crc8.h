#pragma once
// CRC-8 with polynomial 0x31 processed least significant bit first (0x8C reflected), initial
// value 0, no final inversion. The check value of "123456789" is 0xA1.

#include <cstddef>
#include <cstdint>

uint8_t crc8_Compute(const uint8_t* data, size_t length);

// Continues a CRC over more bytes.
uint8_t crc8_Update(uint8_t crc, const uint8_t* data, size_t length);
