// The block kernels of the built-in line encoding, one file per instruction
// set.  linecodec.cpp holds the stored form's definition and the byte-by-byte
// reference they must match, and picks the kernel through dispatch.h.
#pragma once

#include "profile/format.h"
#include "profile/linecodec_form.h"

#include <cstddef>
#include <cstdint>

// What lineDecodeAvx512 returns when the line goes on past the bytes it has.
constexpr size_t LINE_CODEC_NO_LINE = SIZE_MAX - 1;

// SSE2 (linecodec_sse2.cpp).
//
// Decodes the body of a stored line, bytes CHECK_LENGTH to end - 1, into
// plain, 16 bytes at a time.  Returns the plain length, or SIZE_MAX when the
// body cannot be decoded.  Needs end + 16 <= TABLE_SIZE and room for end + 16
// bytes in plain, which past the plain length holds scratch; keys holds key
// bytes 0 to end + 15.  Nothing at or past stored[end] is read.
size_t lineDecodeSse2(const unsigned char *stored, size_t end, const unsigned char *keys,
                      unsigned char *plain, linecodec::LineSums &sums);

// Encodes the leading plain bytes of a line of `length` bytes 16 at a time,
// writing from out[*w]; stops before the last 16 bytes, or when the stored
// form could reach bodyEnd.  *r and *w say where it stopped; sums take the
// bytes done.  keys holds key bytes 0 to length - 1.
void lineEncodeSse2(const unsigned char *plain, size_t length, const unsigned char *keys,
                    unsigned char *out, size_t bodyEnd, size_t *r, size_t *w,
                    linecodec::LineSums &sums);

// Key bytes 0 to count - 1 (a multiple of 16) of a seed into keys (16-byte
// aligned), four key words at a time.
void lineFillKeysSse2(uint32_t seed, unsigned char *keys, size_t count);

// AVX2 (linecodec_avx2.cpp; built on x86-64, see dispatch.h).
//
// Decodes the body of a stored line in blocks of 32 stored bytes.  With
// lineLength null the body is bytes CHECK_LENGTH to size - 1.  Otherwise the
// line ends at its first line feed, found on the way (*lineLength gets its
// length with that line feed), and its body is bytes CHECK_LENGTH up to it,
// without a carriage return just before it; stored bytes 0 to
// CHECK_LENGTH - 1 must not be a line feed.  Returns the plain length, or
// SIZE_MAX when the body cannot be decoded; with lineLength given, SIZE_MAX
// leaves *lineLength at 0, and so does a line that goes on past size: the
// caller then takes the line another way.  Needs size + 32 <= TABLE_SIZE
// and room for size + 32 bytes in plain, which past the plain length holds
// scratch; keys holds key bytes 0 to size + 31.  Nothing at or past
// stored[size] is read.  With lineLength given, a line that decodes also
// gets the split's scan of its plain bytes in *scan (format.h).
size_t lineDecodeAvx2(const unsigned char *stored, size_t size, const unsigned char *keys,
                      unsigned char *plain, linecodec::LineSums &sums, size_t *lineLength,
                      ProfileLineScan *scan);

// AVX-512 with VBMI2 and BMI2 (linecodec_avx512.cpp; built where the
// compiler keeps 64-byte spills aligned, see dispatch.h).
//
// Decodes the body of a stored line in blocks of 64 stored bytes.  With
// lineLength null the body is bytes CHECK_LENGTH to size - 1.  Otherwise the
// line ends at its first line feed, found on the way (*lineLength gets its
// length with that line feed), and its body is bytes CHECK_LENGTH up to it,
// without a carriage return just before it; LINE_CODEC_NO_LINE when no line
// feed comes before size, and stored bytes 0 to CHECK_LENGTH - 1 must not be
// a line feed.  Returns the plain length, or SIZE_MAX when the body cannot
// be decoded.  Needs size + 64 <= TABLE_SIZE and room for size - 1 bytes in
// plain, where bytes past the plain length may be overwritten (with zeros);
// keys holds key bytes 0 to size + 63.  Nothing at or past stored[size] is
// read.  With lineLength given, a line that decodes also gets the split's
// scan of its plain bytes in *scan (format.h).
size_t lineDecodeAvx512(const unsigned char *stored, size_t size, const unsigned char *keys,
                        unsigned char *plain, linecodec::LineSums &sums, size_t *lineLength,
                        ProfileLineScan *scan);
