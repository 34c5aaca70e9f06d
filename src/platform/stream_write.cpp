// Formatted writes that report a refused write as a failure.
//
// A formatted write on Windows can return the count of characters it
// formatted although the stream refused every one of them (a stream opened
// for reading only): only the stream's error indicator shows it.  So an
// error indicator that the write raised counts as a failed write too.  One
// that was already raised before cannot tell, and is left as it is.
#include "platform/fault.h"
#include "platform/file.h"

int platWriteFormatted(FILE *stream, const char *format, va_list args) {
    if (stream == nullptr || format == nullptr || platFaultHit(PLAT_FAULT_FILE_WRITE)) return -1;
    bool failedBefore = std::ferror(stream) != 0;
    int written = std::vfprintf(stream, format, args);
    if (!failedBefore && std::ferror(stream) != 0) return -1;
    return written;
}
