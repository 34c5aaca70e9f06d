// The four line functions through which every line of a profile file
// passes, the I/O modes that choose who supplies them, and the library's
// default transform parameter: what a context is made of, and all that the
// line codec needs to know of contexts.
#pragma once

#include <cstdint>
#include <cstdio>

// Line functions.  `stream` is absent in I/O mode 1, where the caller's
// functions find their data through the user value.
//
// readLine: fills buffer with the next raw line, its line feed included, and
// a zero; leaves it empty at the end of the data.
using ProfileReadLineFn = uint32_t (*)(char *buffer, uint32_t capacity, FILE *stream,
                                       uint64_t user);
// writeLine: writes the line unchanged (it already ends in a line feed).
using ProfileWriteLineFn = uint32_t (*)(const char *line, FILE *stream, uint64_t user);
// encodeLine: writes the stored form of a plain line into out, never past
// capacity; a non-zero status ends the save with that status.
using ProfileEncodeLineFn = uint32_t (*)(const char *plain, char *out, uint32_t capacity,
                                         uint32_t transform, uint64_t user);
// decodeLine: writes the plain form of a stored line into the zeroed out,
// never past capacity; an empty output means it cannot be decoded.
using ProfileDecodeLineFn = uint32_t (*)(const char *stored, char *out, uint32_t capacity,
                                         uint32_t transform, uint64_t user);

constexpr uint32_t PROFILE_IO_STREAM = 0; // the component opens a stream per file
constexpr uint32_t PROFILE_IO_CALLER = 1; // the caller's readLine/writeLine carry every line

// The transform parameter of every context opened without a decodeLine.
constexpr uint32_t PROFILE_DEFAULT_TRANSFORM = 0x4B56u; // chosen in linecodec.cpp's comment
