// The kernels that gather the bytes of a text that take a weight (every byte
// but the blank) for the checksum, one file per instruction set; checksum.cpp
// holds the definition and picks the kernel through dispatch.h.
#pragma once

#include <cstddef>

// Append the bytes of text[0..length) that are not blanks at out and return
// the new end; out has room for them and 16 bytes more.  Nothing past the
// text is read.
unsigned char *checksumGatherSse2(unsigned char *out, const unsigned char *text, size_t length);
unsigned char *checksumGatherSsse3(unsigned char *out, const unsigned char *text, size_t length);
