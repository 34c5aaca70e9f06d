// Formatted writes that report a refused write as a failure.
//
// A formatted write on Windows can return the count of characters it
// formatted although the stream refused every one of them (a stream opened
// for reading only): only the stream's error indicator shows it.  So an
// error indicator that the write raised counts as a failed write too.  One
// that was already raised before cannot tell, and is left as it is.  The
// stream is flushed inside the write, so what the flush meets (a full disk,
// a pipe without a reader) is the write's failure as well.
#include "platform/fault.h"
#include "platform/file.h"

int platWriteFormatted(FILE *stream, const char *format, va_list args) {
    if (stream == nullptr || format == nullptr || platFaultHit(PLAT_FAULT_FILE_WRITE)) return -1;
    bool failedBefore = std::ferror(stream) != 0;
    int quiet = platBeginQuietPipe();
    int written = std::vfprintf(stream, format, args);
    // A buffered stream writes at the flush: a full disk shows only there.
    if (std::fflush(stream) != 0) written = -1;
    platEndQuietPipe(quiet);
    if (!failedBefore && std::ferror(stream) != 0) return -1;
    return written;
}
