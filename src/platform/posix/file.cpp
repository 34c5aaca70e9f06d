// UTF-8 paths on POSIX systems: the file name is the path's bytes as they
// are, so the path goes to fopen unchanged.  The mode obeys the same length
// limit as on Windows, so a caller sees one behaviour on both.
#include "platform/file.h"

#include "platform/fault.h"

#include <cstring>

FILE *platOpenUtf8(const char *path, const char *mode) {
    if (path == nullptr || mode == nullptr || platFaultHit(PLAT_FAULT_FILE_OPEN)) return nullptr;
    if (strnlen(mode, PLAT_OPEN_MODE_MAX + 1) > PLAT_OPEN_MODE_MAX) return nullptr;
    return std::fopen(path, mode);
}
