// The kernels of the checksum, one file per instruction set: they gather the
// bytes of a text that take a weight (every byte but the blank), and the
// AVX-512 ones also sum the gathered bytes segment by segment.  checksum.cpp
// holds the definition and the mixing between segments, and picks the kernel
// through dispatch.h.
#pragma once

#include "profile/kernels/checksum_weights.h"

#include <cstddef>
#include <cstdint>

// Append the bytes of text[0..length) that are not blanks at out and return
// the new end; out has room for them and CHECKSUM_GATHER_SLACK bytes more.
// Nothing past the text is read.
constexpr size_t CHECKSUM_GATHER_SLACK = 64;
unsigned char *checksumGatherSse2(unsigned char *out, const unsigned char *text, size_t length);
unsigned char *checksumGatherSsse3(unsigned char *out, const unsigned char *text, size_t length);
unsigned char *checksumGatherAvx512(unsigned char *out, const unsigned char *text, size_t length);

// The segments of gathered bytes: a cycle of 200 weights holds 14 segments
// of 14 weights and one of 4, which the sums below give in 16 entries, the
// last of them unused.
constexpr size_t CHECKSUM_SUMS_PER_CYCLE = 16;

// The sum of weight times value over each segment of bytes[0..count) (a byte's
// value is itself less 32 for 33 to 126, else itself), bytes[0] taking weight
// 0: the segment of weight 14 * s of cycle c in sums[16 * c + s], through
// the segment that holds position count (which adds nothing if it starts
// there).  sums has room for 16 * (count / 200 + 1) entries.  Nothing at or
// past bytes[count] is read.
void checksumSegmentSumsAvx512(uint32_t *sums, const unsigned char *bytes, size_t count);

// The segment sums as above of the bytes of text[0..length) that are not
// blanks, a short text (length up to CHECKSUM_SHORT_TEXT) gathered in
// registers; returns how many they are.  sums has room for
// CHECKSUM_SHORT_SUMS entries (those past the segment that holds the end
// are scratch).  Nothing past the text is read.
constexpr size_t CHECKSUM_SHORT_TEXT = 128;
constexpr size_t CHECKSUM_SHORT_SUMS = 16;
size_t checksumShortSumsAvx512(uint32_t *sums, const unsigned char *text, size_t length);
