// Crash-safe rewrite on Windows: exclusive create, FlushFileBuffers, and
// MoveFileExW with MOVEFILE_REPLACE_EXISTING|MOVEFILE_WRITE_THROUGH.
// ReplaceFileW is not used: Wine implements it by deleting the target first,
// which opens the very window that the rewrite exists to close.
#include "platform/replace.h"

#include "platform/fault.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 100;
constexpr int REPLACE_ATTEMPTS = 20; // with the pauses below: about one second
constexpr DWORD REPLACE_PAUSE_MS = 50;
constexpr int WIDE_PATH_UNITS = 4096;
constexpr DWORD COPY_CHUNK = 16384;
constexpr UINT UTF8_CODE_PAGE = 65001;

using WidePath = wchar_t[WIDE_PATH_UNITS];

bool toWide(const char *utf8, WidePath &out) {
    return MultiByteToWideChar(UTF8_CODE_PAGE, 0, utf8, -1, out, WIDE_PATH_UNITS) > 0;
}

// Eight hexadecimal digits that differ from call to call and from process to
// process; the exclusive create settles any remaining clash.
void nextSuffix(char *out) {
    static std::atomic<uint64_t> counter{0};
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    uint64_t x = counter.fetch_add(1) * 0x9E3779B97F4A7C15ull ^
                 static_cast<uint64_t>(GetCurrentProcessId()) << 32 ^
                 static_cast<uint64_t>(now.QuadPart);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) out[i] = hex[(x >> (4 * i)) & 15];
    out[8] = '\0';
}

// A failure that another holder of the target causes and that may pass.
bool heldByAnother(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

bool seek(HANDLE h, LONGLONG offset) {
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0;
}

// The fallback when the target stays held: copies temp over target in
// place, reserving the new size first so that a full disk fails before any
// byte of the target changes.
PlatReplace copyInPlace(const WidePath &temp, const WidePath &target) {
    if (platFaultHit(PLAT_FAULT_FILE_INPLACE)) return PLAT_REPLACE_UNCHANGED;
    Handle dst, src;
    dst.h =
        CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!dst.ok()) return PLAT_REPLACE_UNCHANGED;
    src.h = CreateFileW(temp, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!src.ok()) return PLAT_REPLACE_UNCHANGED;
    LARGE_INTEGER newSize{}, oldSize{};
    if (!GetFileSizeEx(src.h, &newSize) || !GetFileSizeEx(dst.h, &oldSize))
        return PLAT_REPLACE_UNCHANGED;
    if (newSize.QuadPart > oldSize.QuadPart) {
        if (!seek(dst.h, newSize.QuadPart) || !SetEndOfFile(dst.h)) {
            // The target may have grown; give it its old length back.
            if (seek(dst.h, oldSize.QuadPart)) SetEndOfFile(dst.h);
            return PLAT_REPLACE_UNCHANGED;
        }
    }
    if (!seek(dst.h, 0)) return PLAT_REPLACE_PARTIAL;
    char chunk[COPY_CHUNK];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(src.h, chunk, COPY_CHUNK, &got, nullptr)) return PLAT_REPLACE_PARTIAL;
        if (got == 0) break;
        if (platFaultHit(PLAT_FAULT_FILE_INPLACE)) return PLAT_REPLACE_PARTIAL;
        DWORD put = 0;
        if (!WriteFile(dst.h, chunk, got, &put, nullptr) || put != got) return PLAT_REPLACE_PARTIAL;
    }
    if (!seek(dst.h, newSize.QuadPart) || !SetEndOfFile(dst.h) || !FlushFileBuffers(dst.h))
        return PLAT_REPLACE_PARTIAL;
    return PLAT_REPLACE_COPIED;
}

} // namespace

int platCreateTempBeside(const char *target, char *tempPath, size_t size, FILE **stream) {
    if (stream != nullptr) *stream = nullptr;
    if (target == nullptr || tempPath == nullptr || stream == nullptr) return -1;
    size_t len = strlen(target);
    if (len == 0 || len + PLAT_TEMP_SUFFIX_LEN + 1 > size) return -1;
    if (platFaultHit(PLAT_FAULT_FILE_TEMP)) return -1;

    WidePath wide;
    DWORD keep = 0;
    if (toWide(target, wide)) {
        DWORD attrs = GetFileAttributesW(wide);
        if (attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY))
            keep = attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    }
    for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
        memcpy(tempPath, target, len);
        tempPath[len] = '.';
        tempPath[len + 1] = '~';
        nextSuffix(tempPath + len + 2);
        if (!toWide(tempPath, wide)) break;
        HANDLE h = CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                               keep != 0 ? keep : FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            break;
        }
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
        if (fd == -1) {
            CloseHandle(h);
            DeleteFileW(wide);
            break;
        }
        FILE *f = _fdopen(fd, "wb");
        if (f == nullptr) {
            _close(fd);
            DeleteFileW(wide);
            break;
        }
        *stream = f;
        return 0;
    }
    tempPath[0] = '\0';
    return -1;
}

int platSyncFile(FILE *stream) {
    if (stream == nullptr) return -1;
    if (fflush(stream) != 0) return -1;
    if (platFaultHit(PLAT_FAULT_FILE_SYNC)) return -1;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (h == INVALID_HANDLE_VALUE) return -1;
    return FlushFileBuffers(h) ? 0 : -1;
}

PlatReplace platReplaceFile(const char *temp, const char *target) {
    if (temp == nullptr || target == nullptr) return PLAT_REPLACE_UNCHANGED;
    WidePath wideTemp, wideTarget;
    if (!toWide(temp, wideTemp) || !toWide(target, wideTarget)) return PLAT_REPLACE_UNCHANGED;
    for (int attempt = 0; attempt < REPLACE_ATTEMPTS; ++attempt) {
        if (attempt > 0) Sleep(REPLACE_PAUSE_MS);
        if (platFaultHit(PLAT_FAULT_FILE_RENAME)) return PLAT_REPLACE_UNCHANGED;
        if (MoveFileExW(wideTemp, wideTarget, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return PLAT_REPLACE_DONE;
        if (!heldByAnother(GetLastError())) return PLAT_REPLACE_UNCHANGED;
    }
    return copyInPlace(wideTemp, wideTarget);
}

int platRemoveFile(const char *path) {
    WidePath wide;
    if (path == nullptr || !toWide(path, wide)) return -1;
    return DeleteFileW(wide) ? 0 : -1;
}
