// The block kernels that find a plain line's end and scan it for the key
// split in the same pass, one file per instruction set; linescan.cpp picks
// the kernel through dispatch.h.
#pragma once

#include "profile/format.h"

#include <cstddef>

// AVX2 (linescan_avx2.cpp; built on x86-64, see dispatch.h).
//
// As lineScanAvx512, 32 bytes at a time, and only in whole blocks of 32:
// false also when the line feed lies in the last part block of size.
bool lineScanAvx2(const unsigned char *bytes, size_t size, size_t *lineLength,
                  ProfileLineScan *scan);

// AVX-512 BW with BMI2 (linescan_avx512.cpp; built on x86-64, see
// dispatch.h).
//
// Finds the first line feed in bytes[0..size), 64 bytes at a time, and
// gathers the split's scan (format.h) of the bytes before it.  True gives
// the line's length with its line feed in *lineLength and the scan in
// *scan; false, when no line feed lies within size, leaves both alone.
// Nothing at or past bytes[size] is read.
bool lineScanAvx512(const unsigned char *bytes, size_t size, size_t *lineLength,
                    ProfileLineScan *scan);
