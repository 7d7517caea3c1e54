#pragma once
// Standard base64 (alphabet A-Z, a-z, 0-9, "+", "/"; "=" fills the last group).
// Both functions return a buffer from malloc, which the caller frees with free(), holding
// the result followed by one zero byte; `output_length` receives the result's length.

#include <cstddef>

// Null when the input length is not a multiple of 4, a character lies outside the alphabet,
// or "=" appears anywhere but in the last two places of the input.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length);

// Decodes `data` over itself (the result is never longer than the text) and returns the
// result's length, or -1 for the inputs that base64_decode rejects. Saves a second buffer
// for large texts.
long long base64_decode_in_place(char* data, size_t input_length);

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length);
