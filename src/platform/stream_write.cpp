#include "platform/fault.h"
#include "platform/file.h"

int platWriteFormatted(FILE *stream, const char *format, va_list args) {
    if (stream == nullptr || format == nullptr || platFaultHit(PLAT_FAULT_FILE_WRITE)) return -1;
    return std::vfprintf(stream, format, args);
}
