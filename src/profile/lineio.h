// The default line functions of I/O mode 0: plain stream reads and writes.
#pragma once

#include <cstdint>
#include <cstdio>

// Reads one line, its line feed included, at most capacity-1 characters.
// At the end of input or on a read failure leaves the buffer empty and
// returns 15; with no buffer returns 11; for a line holding a NUL byte
// returns 8 (the buffer then shows the line only up to that byte, so the
// loader refuses the file rather than lose the rest of the line); otherwise 0.
uint32_t defaultReadLine(char *buffer, uint32_t capacity, FILE *stream, uint64_t user);

// Writes the line unchanged.  11 when the write fails, else 0.
uint32_t defaultWriteLine(const char *line, FILE *stream, uint64_t user);
