// Read-only opens on Windows (platform/read_file.h): the file opened with
// every kind of sharing, refused at once unless it is a disk file (a pipe,
// a console or another device is never read) or when it is a folder.
#include "platform/read_file.h"

#include "platform/fault.h"
#include "platform/win32/handle_stream.h"
#include "platform/win32/path_check.h"
#include "platform/win32/utf16.h"

#include <cerrno>
#include <cstdlib>
#include <windows.h>

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
    FILE *out = platStreamOverHandle(h, false);
    if (out == nullptr) return PLAT_READ_MISSING;
    platSetReason(reason, PLAT_WHY_NONE);
    *stream = out;
    return PLAT_READ_OPENED;
}

void platEndRead(FILE *) {}
