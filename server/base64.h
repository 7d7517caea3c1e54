#pragma once
// Standard base64 (alphabet A-Z, a-z, 0-9, "+", "/"; "=" fills the last group).
// Both functions return a buffer from malloc, which the caller frees with free(), holding
// the result followed by one zero byte; `output_length` receives the result's length.

#include <cstddef>

// Null when the input length is not a multiple of 4, a character lies outside the alphabet,
// or "=" appears anywhere but in the last two places of the input.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length);

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length);
