#pragma once
// Raw serial ports (termios) as byte streams, plain or COBS-framed.

#include "link/aStream.h"

#include <cstdint>

// Baud index: 0 = 2400, 1 = 4800, 2 = 9600, 3 = 19200, 4 = 38400, 5 = 57600, 6 = 115200,
// 7 = 230400 bit/s; any other index sets a speed of 0.
// Parity: non-zero for even parity. Data bits: 0 for 8, 1 for 7. Stop bits: 0 for one, 1 for
// two. aErrNotFound / aErrPermission / aErrIO when the port cannot be opened or set up,
// aErrParam for a bad code.
aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, int parity, int dataBits,
                          int stopBits, aStreamRef* stream);

// The same port wrapped in COBS framing with CRC-8 (packet traffic on serial links).
aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, int parity, int dataBits,
                                     int stopBits, aStreamRef* stream);

// The speed in bit/s that a baud index selects (0 for an unknown index).
uint32_t aStream_SerialBaudRate(uint32_t baudIndex);
