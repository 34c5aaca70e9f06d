// Files named by 8-bit UTF-8 paths, and formatted writes to streams.
//
// Every path the library opens arrives as UTF-8 text.  On Windows it is
// converted to UTF-16 and opened through the runtime's wide-character open
// with shared access, so other openers may read and write the file at the
// same time; on POSIX systems the bytes are the file name as they are.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// Longest accepted open mode ("a", "r+b", "a+bc", ...).
constexpr size_t PLAT_OPEN_MODE_MAX = 4;

// Opens the file at the UTF-8 path with the standard open mode.  Returns the
// stream, which the caller closes with fclose(); null when the path or mode
// is null, the mode is longer than PLAT_OPEN_MODE_MAX characters, a
// conversion or its buffer fails, or the open itself fails.  Never touches
// the memory-failure flag.
FILE *platOpenUtf8(const char *path, const char *mode);

// Opens the file at the UTF-8 path for appending, as mode "a" does (a missing
// file is created), but never waits: where the open or a later write would
// have to wait (a FIFO with no reader, a full pipe) it fails instead.  POSIX:
// the file is opened non-blocking and stays so; nothing is inherited by a
// program the host starts.  Null on failure, as platOpenUtf8.
FILE *platOpenAppendNoWait(const char *path);

// While a thread holds this, a write of that thread to a pipe whose reader
// has gone fails (EPIPE) instead of raising SIGPIPE, whose default action
// ends the process.  POSIX: SIGPIPE is blocked for the thread, and one that
// the writes raised is taken off again before it is unblocked; one that was
// pending before is left alone.  Windows has no SIGPIPE.  Returns what
// platEndQuietPipe needs; the two pair up on one thread.
int platBeginQuietPipe();
void platEndQuietPipe(int token);

// vfprintf to the stream, then fflush, so the text has left the process's
// buffer when it returns: the number of bytes written, or a negative number
// when the write or the flush fails (a full disk shows only at the flush).
// A pipe without a reader fails the write, with no SIGPIPE.  The formatted
// text is never given as a format.
#if defined(__MINGW32__)
__attribute__((format(__MINGW_PRINTF_FORMAT, 2, 0)))
#else
__attribute__((format(printf, 2, 0)))
#endif
int platWriteFormatted(FILE *stream, const char *format, va_list args);
