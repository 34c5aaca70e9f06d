// The library's built-in line encoding, keyed by the transform parameter.
// It hides the text of a stored line from a casual reader; it is an
// obfuscation, not cryptography.
#pragma once

#include "profile/format.h"

#include <cstddef>
#include <cstdint>

// Encodes a plain line (ending in one line feed) into a stored line that is
// exactly one line ending in a line feed and holds no NUL, carriage return
// or 0x1A; six bytes longer than the plain line, and one more for each
// escaped byte (linecodec.cpp).  Returns 0, or 11
// for no line, an empty line, no output, or a stored form that would not fit
// capacity (then out is left empty and nothing is written past capacity).
uint32_t defaultEncodeLine(const char *plain, char *out, uint32_t capacity, uint32_t transform,
                           uint64_t user);

// Restores the plain line exactly.  Returns 0; 11 with out left empty when
// the line cannot be decoded (not an encoded line, cut or edited, another
// transform parameter) or the plain line would not fit capacity.
uint32_t defaultDecodeLine(const char *stored, char *out, uint32_t capacity, uint32_t transform,
                           uint64_t user);

// defaultDecodeLine for a reader that knows where the stored line ends: its
// body is stored[0] to stored[end - 1], without the line feed and without a
// carriage return before it, and may hold any byte (a NUL or line feed in it
// makes the line undecodable).  Nothing at or past stored[end] is read.  On
// success *plainLength (when given) gets the length of the plain line,
// which out holds with its terminating zero; otherwise it gets 0.
uint32_t lineCodecDecode(const char *stored, size_t end, char *out, uint32_t capacity,
                         uint32_t transform, size_t *plainLength);

// lineCodecDecode of the next stored line in bytes[0..available), which
// ends at the first line feed there: *lineLength gets its length with that
// line feed (0 when there is none, and nothing is decided); the rest as
// lineCodecDecode.  Nothing at or past bytes[available] is read.  For a
// reader that has the line in a block: the line is found and decoded in one
// pass where the processor allows, and then scan (when given) gets the
// split's scan of the plain line (format.h; otherwise its `whole` is false).
//
// Which kernel does the work is chosen once per process (kernels/dispatch.h).
uint32_t lineCodecDecodeNext(const char *bytes, size_t available, char *out, uint32_t capacity,
                             uint32_t transform, size_t *lineLength, size_t *plainLength,
                             ProfileLineScan *scan = nullptr);
