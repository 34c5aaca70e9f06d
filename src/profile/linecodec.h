// The library's built-in line encoding, keyed by the transform parameter.
// It hides the text of a stored line from a casual reader; it is an
// obfuscation, not cryptography.
#pragma once

#include <cstdint>

// Encodes a plain line (ending in one line feed) into a stored line that is
// exactly one line ending in a line feed and holds no NUL, carriage return
// or 0x1A.  Returns 0, or 11 when out is null or the stored form would not
// fit capacity (nothing is written past it).
uint32_t defaultEncodeLine(const char *plain, char *out, uint32_t capacity, uint32_t transform,
                           uint64_t user);

// Restores the plain line.  Leaves out empty when the line cannot be decoded.
uint32_t defaultDecodeLine(const char *stored, char *out, uint32_t capacity, uint32_t transform,
                           uint64_t user);
