// UTF-8 paths on Windows: converted to UTF-16 (code page 65001) and opened
// with _wfsopen, sharing read and write access with other openers.
#include "platform/file.h"

#include "platform/fault.h"
#include "platform/win32/utf16.h"

#include <cstdlib>
#include <share.h>

namespace {
// Units of the converted mode: PLAT_OPEN_MODE_MAX characters and a zero, so
// a longer mode does not fit and its conversion fails.
constexpr int MODE_UNITS = static_cast<int>(PLAT_OPEN_MODE_MAX) + 1;
} // namespace

FILE *platOpenUtf8(const char *path, const char *mode) {
    if (path == nullptr || mode == nullptr || platFaultHit(PLAT_FAULT_FILE_OPEN)) return nullptr;
    wchar_t *widePath = platUtf8ToWideAlloc(path);
    if (widePath == nullptr) return nullptr;
    wchar_t wideMode[MODE_UNITS] = {};
    FILE *stream = nullptr;
    if (platUtf8ToWide(mode, wideMode, MODE_UNITS) != 0)
        stream = _wfsopen(widePath, wideMode, _SH_DENYNO);
    std::free(widePath);
    return stream;
}
