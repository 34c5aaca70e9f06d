// Read-only opens on Windows (platform/read_file.h): the file opened with
// every kind of sharing, refused at once unless it is a disk file (a pipe,
// a console or another device is never read) or when it is a folder; and
// one whole version of it handed to the reader: the redo copy
// (platform/win32/redo.h) when an in-place write is under way or was
// interrupted, else a scratch copy of the file made under a shared hold of
// the in-place writes' lock, which keeps such writes out while it is made
// (a write under way is waited for).
#include "platform/read_file.h"

#include "platform/fault.h"
#include "platform/redo_format.h"
#include "platform/rewrite_parts.h"
#include "platform/update_file.h"
#include "platform/win32/handle_stream.h"
#include "platform/win32/path_check.h"
#include "platform/win32/redo.h"
#include "platform/win32/utf16.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <windows.h>

namespace {

// The redo copy of the file opened as h, when an in-place write of it is
// under way or was interrupted: a stream at the start of its content, else
// null.
FILE *redoStream(HANDLE h, const BY_HANDLE_FILE_INFORMATION &info) {
    wchar_t *path = platFinalPath(h);
    if (path == nullptr) return nullptr;
    PlatRedoTarget target{h, path, info.dwVolumeSerialNumber,
                          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    wchar_t *redoPath = platRedoPath(target);
    int64_t size = 0;
    HANDLE redo =
        redoPath != nullptr ? platOpenRedo(target, redoPath, &size) : INVALID_HANDLE_VALUE;
    std::free(redoPath);
    std::free(path);
    if (redo == INVALID_HANDLE_VALUE) return nullptr;
    FILE *stream = platStreamOverHandle(redo, false);
    if (stream != nullptr && std::fseek(stream, PLAT_REDO_HEADER_BYTES, SEEK_SET) != 0) {
        std::fclose(stream);
        stream = nullptr;
    }
    return stream;
}

// Copies the whole of h into a scratch stream (rewound), or null.
FILE *copyOf(HANDLE h) {
    FILE *copy = platCreateScratch();
    if (copy == nullptr) return nullptr;
    char chunk[16384];
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, chunk, sizeof chunk, &got, nullptr)) ok = false;
        if (!ok || got == 0) break;
        if (std::fwrite(chunk, 1, got, copy) != got) {
            ok = false;
            break;
        }
    }
    if (!ok || std::fflush(copy) != 0 || std::fseek(copy, 0, SEEK_SET) != 0) {
        std::fclose(copy);
        return nullptr;
    }
    return copy;
}

} // namespace

PlatReadOpen platOpenForReading(const char *path, FILE **stream, PlatOpenReason *reason) {
    if (stream != nullptr) *stream = nullptr;
    platSetReason(reason, PLAT_WHY_SYSTEM, ENOENT);
    if (path == nullptr || stream == nullptr || platFaultHit(PLAT_FAULT_FILE_OPEN))
        return PLAT_READ_MISSING;
    wchar_t *wide = platUtf8ToWideAlloc(path);
    if (wide == nullptr) return PLAT_READ_MISSING;
    HANDLE h =
        CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    std::free(wide);
    if (h == INVALID_HANDLE_VALUE) {
        platSetReason(reason, PLAT_WHY_SYSTEM, platErrnoOf(GetLastError()));
        return PLAT_READ_MISSING;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        platSetReason(reason, PLAT_WHY_NOT_REGULAR, 0,
                      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "folder" : "device");
        CloseHandle(h);
        return PLAT_READ_NOT_REGULAR;
    }
    if (!platLockWrites(h, false, PLAT_UPDATE_LOCK_WAIT_MS)) {
        CloseHandle(h);
        platSetReason(reason, PLAT_WHY_BUSY);
        return PLAT_READ_CHANGING;
    }
    FILE *out = redoStream(h, info);
    if (out == nullptr) out = copyOf(h);
    platUnlockWrites(h);
    CloseHandle(h);
    if (out == nullptr) {
        platSetReason(reason, PLAT_WHY_SYSTEM, EIO);
        return PLAT_READ_MISSING;
    }
    platSetReason(reason, PLAT_WHY_NONE);
    *stream = out;
    return PLAT_READ_OPENED;
}

void platEndRead(FILE *) {}
