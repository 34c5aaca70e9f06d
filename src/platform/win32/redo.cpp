// Redo copies of the in-place write on Windows (platform/win32/redo.h).
#include "platform/win32/redo.h"

#include "platform/fault.h"
#include "platform/redo_format.h"
#include "platform/update_file.h"
#include "platform/win32/utf16.h"

#include <aclapi.h>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD COPY_CHUNK = 65536;
constexpr int NAME_UTF8_BYTES = 4096;
// The in-place writes' lock byte: next to the updaters' one
// (platform/win32/update_file.cpp), far past the end of any profile file.
constexpr DWORD WRITES_LOCK_HIGH = 0x7FFFFFF0;
constexpr DWORD WRITES_LOCK_LOW = 1;
constexpr DWORD WRITES_LOCK_PAUSE_MS = 1;

bool readAt(HANDLE h, char *bytes, DWORD n, int64_t at, DWORD *got) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(static_cast<uint64_t>(at));
    where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(at) >> 32);
    return ReadFile(h, bytes, n, got, &where) != 0 || GetLastError() == ERROR_HANDLE_EOF;
}

bool writeAt(HANDLE h, const char *bytes, DWORD n, int64_t at) {
    platCrashPoint();
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(static_cast<uint64_t>(at));
    where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(at) >> 32);
    DWORD put = 0;
    return WriteFile(h, bytes, n, &put, &where) != 0 && put == n;
}

bool cutAt(HANDLE h, int64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = size;
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(h) != 0;
}

// Copies size bytes from source at from to dest at to; the checksum of what
// was copied goes to *checksum when it is not null.  dest invalid: only
// reads.  inPlace: dest is the stored file (its probe may fail a write).
bool copyRange(HANDLE source, int64_t from, int64_t size, HANDLE dest, int64_t to,
               uint64_t *checksum, bool inPlace = false) {
    char *chunk = static_cast<char *>(std::malloc(COPY_CHUNK));
    if (chunk == nullptr) return false;
    uint64_t hash = PLAT_REDO_CHECKSUM_START;
    bool ok = true;
    for (int64_t done = 0; ok && done < size;) {
        DWORD want = size - done < COPY_CHUNK ? static_cast<DWORD>(size - done) : COPY_CHUNK;
        DWORD got = 0;
        if (!readAt(source, chunk, want, from + done, &got) || got == 0) {
            ok = false;
            break;
        }
        hash = platRedoChecksum(hash, chunk, got);
        if (dest != INVALID_HANDLE_VALUE)
            ok = !(inPlace && platFaultHit(PLAT_FAULT_FILE_INPLACE)) &&
                 writeAt(dest, chunk, got, to + done);
        done += got;
    }
    std::free(chunk);
    if (checksum != nullptr) *checksum = hash;
    return ok;
}

bool sameSid(PSID a, PSID b) { return a != nullptr && b != nullptr && EqualSid(a, b) != 0; }

// True when the user this process runs as is sid.
bool isCaller(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    char buffer[256];
    DWORD size = 0;
    bool same = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) != 0 &&
                sameSid(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, sid);
    CloseHandle(token);
    return same;
}

// True when the copy could only have been made by someone who may write
// the file anyway: its owner is the caller or the file's owner.  A file
// system that keeps no owners lets anyone who may create the copy write
// the file too.
bool trustedMaker(HANDLE file, HANDLE copy) {
    PSID madeOwner = nullptr, fileOwner = nullptr;
    PSECURITY_DESCRIPTOR made = nullptr, stored = nullptr;
    if (GetSecurityInfo(copy, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &madeOwner, nullptr,
                        nullptr, nullptr, &made) != ERROR_SUCCESS)
        return true;
    bool trusted = isCaller(madeOwner);
    if (!trusted && GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &fileOwner,
                                    nullptr, nullptr, nullptr, &stored) == ERROR_SUCCESS)
        trusted = sameSid(madeOwner, fileOwner);
    LocalFree(made);
    if (stored != nullptr) LocalFree(stored);
    return trusted;
}

// Gives the copy made at temp its redo name, never replacing a name that
// exists.  True when it has that name now.
bool publish(const wchar_t *temp, const wchar_t *path) {
    platCrashPoint();
    return MoveFileExW(temp, path, MOVEFILE_WRITE_THROUGH) != 0;
}

} // namespace

PlatCreateTry platCreateNewFile(const char *name, void *context) {
    auto *c = static_cast<PlatCreateNew *>(context);
    c->path = platUtf8ToWideAlloc(name);
    if (c->path == nullptr) return PLAT_CREATE_FAILED;
    // Shared for writing too: once a move has put it in place of the stored
    // file, and until this handle is closed, it is the file that the next
    // updater opens for reading and writing (that updater then waits for
    // the lock); without write sharing that open would fail as if the file
    // were missing.
    c->handle = CreateFileW(c->path, GENERIC_READ | GENERIC_WRITE | WRITE_OWNER | READ_CONTROL,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, c->security,
                            CREATE_NEW, c->attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (c->handle != INVALID_HANDLE_VALUE) return PLAT_CREATE_DONE;
    DWORD error = GetLastError();
    std::free(c->path);
    c->path = nullptr;
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? PLAT_CREATE_EXISTS
                                                                       : PLAT_CREATE_FAILED;
}

wchar_t *platRedoPath(const PlatRedoTarget &target) {
    char path[NAME_UTF8_BYTES];
    char redo[NAME_UTF8_BYTES];
    if (WideCharToMultiByte(CP_UTF8, 0, target.path, -1, path, sizeof path, nullptr, nullptr) ==
            0 ||
        !platRedoFormatName(path, target.volume, target.fileId, redo, sizeof redo))
        return nullptr;
    return platUtf8ToWideAlloc(redo);
}

HANDLE platWriteRedo(const PlatRedoTarget &target, HANDLE source, int64_t size, wchar_t **path) {
    *path = nullptr;
    if (platFaultHit(PLAT_FAULT_FILE_REDO)) return INVALID_HANDLE_VALUE;
    // Created with the stored file's access list: whoever may read the file
    // may read the copy, and nobody else.
    PSECURITY_DESCRIPTOR acl = nullptr;
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (GetSecurityInfo(target.file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &acl) == ERROR_SUCCESS)
        security.lpSecurityDescriptor = acl;
    PlatCreateNew create{FILE_ATTRIBUTE_NORMAL, acl != nullptr ? &security : nullptr, nullptr,
                         INVALID_HANDLE_VALUE};
    char base[NAME_UTF8_BYTES];
    char temp[NAME_UTF8_BYTES];
    bool made = WideCharToMultiByte(CP_UTF8, 0, target.path, -1, base, sizeof base, nullptr,
                                    nullptr) != 0 &&
                platCreateUnderFreshName(base, temp, sizeof temp, platCreateNewFile, &create) == 0;
    if (acl != nullptr) LocalFree(acl);
    if (!made) return INVALID_HANDLE_VALUE;
    uint64_t checksum = 0;
    char header[PLAT_REDO_HEADER_BYTES];
    bool ok = copyRange(source, 0, size, create.handle, PLAT_REDO_HEADER_BYTES, &checksum);
    if (ok) {
        platRedoFormatHeader(header, target.volume, target.fileId, static_cast<uint64_t>(size),
                             checksum);
        ok = writeAt(create.handle, header, PLAT_REDO_HEADER_BYTES, 0) &&
             (platCrashPoint(), true) && !platFaultHit(PLAT_FAULT_FILE_SYNC) &&
             FlushFileBuffers(create.handle) != 0;
    }
    if (!ok) {
        CloseHandle(create.handle);
        DeleteFileW(create.path);
        std::free(create.path);
        return INVALID_HANDLE_VALUE;
    }
    wchar_t *fixed = platRedoPath(target);
    bool named = fixed != nullptr && publish(create.path, fixed);
    if (!named && fixed != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        // A copy of this file left from a failed write is superseded when it
        // is a trusted one; anything else is not ours to remove, and the
        // copy stays under its temporary name.
        int64_t ignored = 0;
        HANDLE there = platOpenRedo(target, fixed, &ignored);
        if (there != INVALID_HANDLE_VALUE) {
            CloseHandle(there);
            named = DeleteFileW(fixed) != 0 && publish(create.path, fixed);
        }
    }
    if (named) {
        std::free(create.path);
        *path = fixed;
    } else {
        std::free(fixed);
        *path = create.path;
    }
    return create.handle;
}

HANDLE platOpenRedo(const PlatRedoTarget &target, const wchar_t *path, int64_t *size) {
    HANDLE h = CreateFileW(path, GENERIC_READ | READ_CONTROL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    BY_HANDLE_FILE_INFORMATION info{};
    LARGE_INTEGER total{};
    char header[PLAT_REDO_HEADER_BYTES] = {};
    DWORD got = 0;
    uint64_t length = 0, checksum = 0, found = 0;
    bool ok =
        GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
        trustedMaker(target.file, h) && GetFileSizeEx(h, &total) &&
        total.QuadPart >= PLAT_REDO_HEADER_BYTES &&
        readAt(h, header, PLAT_REDO_HEADER_BYTES, 0, &got) && got == PLAT_REDO_HEADER_BYTES &&
        platRedoParseHeader(header, target.volume, target.fileId, &length, &checksum) &&
        static_cast<uint64_t>(total.QuadPart - PLAT_REDO_HEADER_BYTES) == length &&
        copyRange(h, PLAT_REDO_HEADER_BYTES, static_cast<int64_t>(length), INVALID_HANDLE_VALUE, 0,
                  &found) &&
        found == checksum;
    if (!ok) {
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    *size = static_cast<int64_t>(length);
    return h;
}

bool platLockWrites(HANDLE h, bool exclusive, DWORD waitMs) {
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    for (;;) {
        OVERLAPPED at{};
        at.Offset = WRITES_LOCK_LOW;
        at.OffsetHigh = WRITES_LOCK_HIGH;
        DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
        if (LockFileEx(h, flags, 0, 1, 0, &at)) return true;
        DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(WRITES_LOCK_PAUSE_MS);
    }
}

void platUnlockWrites(HANDLE h) {
    OVERLAPPED at{};
    at.Offset = WRITES_LOCK_LOW;
    at.OffsetHigh = WRITES_LOCK_HIGH;
    (void)UnlockFileEx(h, 0, 1, 0, &at);
}

int platCopyInPlace(HANDLE source, int64_t from, int64_t size, HANDLE dst) {
    LARGE_INTEGER old{};
    if (!GetFileSizeEx(dst, &old)) return -2;
    // Readers that are reading the file finish first.
    if (!platLockWrites(dst, true, PLAT_UPDATE_LOCK_WAIT_MS)) {
        SetLastError(ERROR_LOCK_VIOLATION);
        return -2;
    }
    int result = 0;
    // The new size reserved first, so that a full disk fails before any
    // byte changes.
    if (size > old.QuadPart && !cutAt(dst, size)) {
        (void)cutAt(dst, old.QuadPart);
        result = -2;
    } else if (!copyRange(source, from, size, dst, 0, nullptr, true)) {
        result = -1;
    } else {
        platCrashPoint();
        if (!cutAt(dst, size) || platFaultHit(PLAT_FAULT_FILE_SYNC) || !FlushFileBuffers(dst))
            result = -1;
    }
    DWORD error = GetLastError();
    platUnlockWrites(dst);
    SetLastError(error);
    return result;
}
