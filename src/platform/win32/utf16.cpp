#include "platform/win32/utf16.h"

#include <cstdlib>
#include <windows.h>

int platUtf8ToWide(const char *utf8, wchar_t *out, int units) {
    if (out != nullptr && units > 0) out[0] = L'\0';
    if (utf8 == nullptr) return 0;
    if (out == nullptr) return MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (units <= 0) return 0;
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, units);
    if (n <= 0) out[0] = L'\0';
    return n > 0 ? n : 0;
}

wchar_t *platUtf8ToWideAlloc(const char *utf8) {
    int units = platUtf8ToWide(utf8, nullptr, 0);
    if (units <= 0) return nullptr;
    auto *wide = static_cast<wchar_t *>(std::calloc(static_cast<size_t>(units), sizeof(wchar_t)));
    if (wide != nullptr && platUtf8ToWide(utf8, wide, units) == 0) {
        std::free(wide);
        wide = nullptr;
    }
    return wide;
}
