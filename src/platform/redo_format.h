// The redo copy's format and name, the same on every platform: a header
// (the stored file's identity as two numbers, the content's length and its
// checksum) followed by the content, under NAME.~redo.ID1.ID2.  POSIX names
// the file by device and inode, Windows by volume serial number and file
// ID.  Each platform creates, trusts and writes copies with its own
// primitives (platform/posix/redo.h, platform/win32/redo.h).
#pragma once

#include <cstddef>
#include <cstdint>

// The header's size in bytes; the content follows it.
constexpr int PLAT_REDO_HEADER_BYTES = 84;

// The checksum of a content: start with PLAT_REDO_CHECKSUM_START and go on
// over each piece in turn.
constexpr uint64_t PLAT_REDO_CHECKSUM_START = 0xcbf29ce484222325ull;
uint64_t platRedoChecksum(uint64_t hash, const char *bytes, size_t n);

// The header of a copy of the file id1/id2 whose content has length bytes
// with that checksum (out is not terminated).
void platRedoFormatHeader(char (&out)[PLAT_REDO_HEADER_BYTES], uint64_t id1, uint64_t id2,
                          uint64_t length, uint64_t checksum);

// True when header is a whole header naming the file id1/id2: its content's
// length and checksum go to *length and *checksum.
bool platRedoParseHeader(const char (&header)[PLAT_REDO_HEADER_BYTES], uint64_t id1, uint64_t id2,
                         uint64_t *length, uint64_t *checksum);

// Writes the redo name of the file named name (UTF-8) into out (capacity
// bytes): false when it does not fit (out is then empty).
bool platRedoFormatName(const char *name, uint64_t id1, uint64_t id2, char *out, size_t capacity);
