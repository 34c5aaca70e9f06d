// The default line functions of I/O mode 0: plain stream reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The block reader of I/O mode 0: where it stands in its block.  Each file
// record owns one (ProfileFile::reader) over the record's own streamBuffer,
// set up when the record is made (profileBlockReaderInit); the stream it
// reads is handed to every call, since a file's stream changes between the
// load and the rewrite.
struct ProfileBlockReader {
    char *block;      // the bytes read ahead, `size` of them at most
    uint32_t size;    //
    uint32_t start;   // the first byte not yet handed out
    uint32_t end;     // one past the last byte read into the block
    uint32_t drained; // set once the stream has nothing more
};

// An empty reader over block (size bytes).
void profileBlockReaderInit(ProfileBlockReader *reader, char *block, uint32_t size);

// Reads one line, its line feed included, at most capacity-1 characters.
// At the end of input or on a read failure leaves the buffer empty and
// returns 15; with no buffer returns 11; for a line holding a NUL byte
// returns 8 (the buffer then shows the line only up to that byte, so the
// loader refuses the file rather than lose the rest of the line); otherwise 0.
uint32_t defaultReadLine(char *buffer, uint32_t capacity, FILE *stream, uint64_t user);

// Writes the line unchanged.  11 when the write fails, else 0.
uint32_t defaultWriteLine(const char *line, FILE *stream, uint64_t user);
// As defaultWriteLine, for a line of known length.
uint32_t profileWriteText(const char *line, size_t length, FILE *stream);

// The number of bytes from the stream's position to its end, for sizing
// what a load will hold; 0 when that cannot be told (a pipe, a FIFO, a
// failure), which is no failure.  The position is left where it was.
uint64_t profileStreamRemaining(FILE *stream);

// The reader of I/O mode 0: the same lines and statuses as defaultReadLine
// on the stream, taken from blocks read into the reader's block
// (the stream itself must be unbuffered, or bytes would sit in two buffers).
// A read failure ends the lines as the end of the stream does; the stream's
// error indicator tells the two apart.
uint32_t profileBlockReadLine(ProfileBlockReader *reader, FILE *stream, char *buffer,
                              uint32_t capacity);

// The next line of the block reader when it lies whole in its block: *line points at it there and
// *length counts its bytes, the line feed included, which the line holds as its last byte and
// nowhere else.  Nothing is consumed: profileBlockSkipLine does that.  Returns false (and the
// caller reads the line through profileBlockReadLine, which gives the same bytes) when no such line
// is at hand: at the end of the stream, for a last line without a line feed, for a line longer than
// capacity-1 bytes (profileBlockReadLine hands those out in parts), or when a read fails.  Moves an
// unfinished line to the start of the buffer to read the rest of it, so a line rarely falls across
// two blocks.  Chosen for speed: the load takes most lines from here without copying them.
bool profileBlockPeekLine(ProfileBlockReader *reader, FILE *stream, uint32_t capacity,
                          const char **line, size_t *length);
// The unread bytes of the block at hand, reading nothing: for a reader that
// finds the end of the next line itself, and asks profileBlockPeekLine when
// the line goes on past them.
void profileBlockPeekBytes(const ProfileBlockReader *reader, const char **bytes, size_t *available);
// Consumes the line that profileBlockPeekLine gave, `length` bytes.
void profileBlockSkipLine(ProfileBlockReader *reader, size_t length);
