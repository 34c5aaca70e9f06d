// Update opens on Windows: a disk file opened for reading and writing with
// every kind of sharing (others may still read it, and the rewrite may
// replace its name), an exclusive LockFileEx lock held until close, and the
// file's own path after links, from GetFinalPathNameByHandleW.
//
// The lock covers one byte far beyond any end of file: Windows locks are
// mandatory for the bytes they cover, and readers of the file must never
// meet it.
#include "platform/update_file.h"

#include "platform/fault.h"
#include "platform/mutex.h"
#include "platform/rewrite_parts.h"
#include "platform/temp_name.h"
#include "platform/win32/handle_stream.h"
#include "platform/win32/path_check.h"
#include "platform/win32/update_state.h"
#include "platform/win32/utf16.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <fcntl.h>
#include <io.h>

namespace {

constexpr DWORD LOCK_OFFSET_HIGH = 0x7FFFFFF0; // far past the end of any profile file
constexpr DWORD LOCK_PAUSE_FIRST_MS = 1;
constexpr DWORD LOCK_PAUSE_MAX_MS = 10;
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr size_t GUARD_NAME_UNITS = 64;

enum TryLock { LOCK_TAKEN, LOCK_HELD_BY_ANOTHER };

// Tries once to take the exclusive lock.  A file system without such locks
// counts as taken: the update then goes on without one.
TryLock tryLock(HANDLE h) {
    OVERLAPPED at{};
    at.OffsetHigh = LOCK_OFFSET_HIGH;
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return LOCK_TAKEN;
    DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? LOCK_HELD_BY_ANOTHER
                                                                      : LOCK_TAKEN;
}

enum Locked { LOCKED, LOCKED_PATH_CHANGED, LOCK_TIMED_OUT };

// Takes the lock, polling until the deadline, each try under the hand-over
// guard together with the check that the path still names the file.
Locked lockExclusive(const PlatUpdateFile *file, ULONGLONG deadline) {
    DWORD pause = LOCK_PAUSE_FIRST_MS;
    for (;;) {
        if (platFaultHit(PLAT_FAULT_FILE_LOCK)) return LOCK_TIMED_OUT;
        {
            PlatHandOverGuard guard;
            if (!platTakeHandOverGuard(file->path, deadline, guard)) return LOCK_TIMED_OUT;
            if (tryLock(file->handle) == LOCK_TAKEN)
                return platStillNamesFile(file) ? LOCKED : LOCKED_PATH_CHANGED;
        }
        if (GetTickCount64() >= deadline) return LOCK_TIMED_OUT;
        Sleep(pause);
        pause = pause * 2 > LOCK_PAUSE_MAX_MS ? LOCK_PAUSE_MAX_MS : pause * 2;
    }
}

// The full form of a path, where the system cannot give a file's own path.
wchar_t *fullPath(const wchar_t *path) {
    DWORD units = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (units == 0) return nullptr;
    auto *full = static_cast<wchar_t *>(std::calloc(units + 1, sizeof(wchar_t)));
    if (full != nullptr && GetFullPathNameW(path, units + 1, full, nullptr) == 0) {
        std::free(full);
        full = nullptr;
    }
    return full;
}

// Ends the lock explicitly: the read stream is a duplicate of the same
// open file, and would keep the lock for as long as the caller keeps it.
void unlock(HANDLE h) {
    OVERLAPPED at{};
    at.OffsetHigh = LOCK_OFFSET_HIGH;
    (void)UnlockFileEx(h, 0, 1, 0, &at);
}

void release(PlatUpdateFile *file) {
    if (file->handle != INVALID_HANDLE_VALUE) {
        unlock(file->handle);
        CloseHandle(file->handle);
    }
    std::free(file->path);
    std::free(file->temp);
    std::free(file);
}

// A read stream of its own over the same open file.
FILE *readStream(HANDLE h) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return platStreamOverHandle(copy, false);
}

} // namespace

wchar_t *platJoinWide(const wchar_t *a, const wchar_t *b) {
    size_t na = wcslen(a), nb = wcslen(b);
    auto *out = static_cast<wchar_t *>(std::calloc(na + nb + 1, sizeof(wchar_t)));
    if (out == nullptr) return nullptr;
    std::memcpy(out, a, na * sizeof(wchar_t));
    std::memcpy(out + na, b, nb * sizeof(wchar_t));
    return out;
}

bool platStillNamesFile(const PlatUpdateFile *file) {
    HANDLE h = CreateFileW(file->path, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    bool same =
        GetFileInformationByHandle(h, &info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        info.dwVolumeSerialNumber == file->volume && info.nFileIndexHigh == file->indexHigh &&
        info.nFileIndexLow == file->indexLow;
    CloseHandle(h);
    return same;
}

bool platTakeHandOverGuard(const wchar_t *path, ULONGLONG deadline, PlatHandOverGuard &guard) {
    // FNV-1a over the path's units: one name per file, whoever spells it.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const wchar_t *p = path; *p != L'\0'; ++p) {
        hash ^= static_cast<uint64_t>(towupper(*p));
        hash *= 0x100000001b3ull;
    }
    wchar_t name[GUARD_NAME_UNITS];
    swprintf(name, GUARD_NAME_UNITS, L"Global\\kvinit64-update-%016llx",
             static_cast<unsigned long long>(hash));
    void *descriptor = nullptr;
    SECURITY_ATTRIBUTES everyone{sizeof everyone, nullptr, FALSE};
    if (platInitSecurityDescriptor(&descriptor) == 0) everyone.lpSecurityDescriptor = descriptor;
    guard.mutex = CreateMutexW(descriptor != nullptr ? &everyone : nullptr, FALSE, name);
    if (guard.mutex == nullptr) return false;
    ULONGLONG now = GetTickCount64();
    DWORD wait = deadline > now ? static_cast<DWORD>(deadline - now) : 0;
    DWORD result = WaitForSingleObject(guard.mutex, wait);
    guard.held = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return guard.held;
}

void platUnlockFile(PlatUpdateFile *file) {
    if (file->handle != INVALID_HANDLE_VALUE) {
        unlock(file->handle);
        CloseHandle(file->handle);
    }
    file->handle = INVALID_HANDLE_VALUE;
}

int platRelockFile(PlatUpdateFile *file) {
    platUnlockFile(file);
    HANDLE h = CreateFileW(file->path, GENERIC_READ | GENERIC_WRITE | READ_CONTROL, SHARE_ALL,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) || info.dwVolumeSerialNumber != file->volume ||
        info.nFileIndexHigh != file->indexHigh || info.nFileIndexLow != file->indexLow ||
        tryLock(h) != LOCK_TAKEN) {
        CloseHandle(h);
        return -1;
    }
    file->handle = h;
    return 0;
}

PlatUpdateOpen platOpenForUpdate(const char *path, PlatUpdateMode mode, unsigned waitMs,
                                 PlatUpdateFile **out, FILE **stream, PlatOpenReason *reason) {
    if (out != nullptr) *out = nullptr;
    if (stream != nullptr) *stream = nullptr;
    platSetReason(reason, PLAT_WHY_SYSTEM, ENOENT);
    if (path == nullptr || out == nullptr || stream == nullptr || path[0] == '\0')
        return PLAT_UPDATE_MISSING;
    if (platFaultHit(PLAT_FAULT_FILE_OPEN)) return PLAT_UPDATE_MISSING;
    wchar_t *wide = platUtf8ToWideAlloc(path);
    if (wide == nullptr) return PLAT_UPDATE_MISSING;
    if (platUntrustedReparsePoint(wide, reason)) {
        std::free(wide);
        return PLAT_UPDATE_UNTRUSTED;
    }
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    PlatUpdateOpen result = PLAT_UPDATE_MISSING;
    for (;;) {
        DWORD attributes = GetFileAttributesW(wide);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            platSetReason(reason, PLAT_WHY_NOT_REGULAR, 0, "folder");
            result = PLAT_UPDATE_NOT_REGULAR;
            break;
        }
        HANDLE h = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE | READ_CONTROL, SHARE_ALL,
                               nullptr, mode == PLAT_UPDATE_EXISTING ? OPEN_EXISTING : OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            platSetReason(reason, PLAT_WHY_SYSTEM, platErrnoOf(GetLastError()));
            break;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            CloseHandle(h);
            platSetReason(reason, PLAT_WHY_NOT_REGULAR, 0, "device");
            result = PLAT_UPDATE_NOT_REGULAR;
            break;
        }
        auto *file = static_cast<PlatUpdateFile *>(std::calloc(1, sizeof(PlatUpdateFile)));
        if (file == nullptr) {
            CloseHandle(h);
            break;
        }
        file->handle = h;
        file->volume = info.dwVolumeSerialNumber;
        file->indexHigh = info.nFileIndexHigh;
        file->indexLow = info.nFileIndexLow;
        file->path = platFinalPath(h);
        if (file->path == nullptr) file->path = fullPath(wide);
        Locked locked = file->path == nullptr ? LOCKED_PATH_CHANGED : lockExclusive(file, deadline);
        if (locked != LOCKED) {
            release(file);
            // Renamed or replaced while we opened or waited: open the file
            // that the path names now.
            if (locked == LOCK_TIMED_OUT || GetTickCount64() >= deadline) {
                platSetReason(reason, PLAT_WHY_BUSY);
                result = PLAT_UPDATE_BUSY;
                break;
            }
            continue;
        }
        // An in-place write that a crash interrupted is finished first, and
        // the file read from its start afterwards.
        LARGE_INTEGER zero{};
        if (platSweepBeside(file) != 0 || !SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)) {
            platSetReason(reason, PLAT_WHY_SYSTEM, errno);
            release(file);
            break;
        }
        FILE *reader = readStream(h);
        if (reader == nullptr ||
            (mode == PLAT_UPDATE_EMPTY &&
             (!SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h)))) {
            if (reader != nullptr) fclose(reader);
            release(file);
            break;
        }
        *out = file;
        *stream = reader;
        platSetReason(reason, PLAT_WHY_NONE);
        result = PLAT_UPDATE_OPENED;
        break;
    }
    std::free(wide);
    return result;
}

void platCloseUpdate(PlatUpdateFile *file) {
    if (file == nullptr) return;
    if (file->rewrite != nullptr) platRewriteAbandon(file, file->rewrite);
    release(file);
}
