#pragma once
// Packet framing over a byte transport: each packet travels as the COBS encoding of its wire
// form followed by its CRC-8, then a zero byte.

#include "link/aStream.h"

// Wraps the transport; the new stream owns it (its delete runs at destruction).
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* reference, aStreamRef* stream);
