// The rewrite's primitives on Windows (platform/rewrite_parts.h): a
// temporary file beside the stored one, created with the stored file's
// access list (never wider) and attributes, flushed with FlushFileBuffers,
// given the stored file's owner and group, and moved over the stored file's
// own path (links resolved at open) with
// MoveFileExW(MOVEFILE_REPLACE_EXISTING|MOVEFILE_WRITE_THROUGH); the
// in-place write through the handle opened at open, at once and without
// retrying, when the move is refused (another holder without delete
// sharing, another volume), behind a redo copy (platform/win32/redo.h).
// ReplaceFileW is not used: Wine implements it by deleting the target
// first, which opens the very window that the rewrite exists to close.
#include "platform/fault.h"
#include "platform/redo_format.h"
#include "platform/rewrite_parts.h"
#include "platform/temp_name.h"
#include "platform/win32/handle_stream.h"
#include "platform/win32/path_check.h"
#include "platform/win32/redo.h"
#include "platform/win32/update_state.h"
#include "platform/win32/utf16.h"

#include <aclapi.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr int TEMP_UTF8_BYTES = 4096;
constexpr int NAME_UTF8_BYTES = 1024;
constexpr SECURITY_INFORMATION OWNER_AND_GROUP =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;

// A scratch file in the user's temporary folder, gone when closed.
HANDLE createScratch() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, folder) == 0 || GetTempFileNameW(folder, L"kvi", 0, path) == 0)
        return INVALID_HANDLE_VALUE;
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                       nullptr);
}

HANDLE handleOf(FILE *stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

bool sameSid(PSID a, PSID b) {
    return a == nullptr ? b == nullptr : b != nullptr && EqualSid(a, b);
}

// Gives the temporary file the stored file's owner and group (its access
// list came with its creation).  False when the file has more than one
// hard link or the owner cannot be given, so that the rewrite goes in
// place instead.
bool keepIdentity(const PlatUpdateFile *file, HANDLE temp) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file->handle, &info) || info.nNumberOfLinks > 1) return false;
    if (platFaultHit(PLAT_FAULT_FILE_OWNER)) return false;
    PSID owner = nullptr, group = nullptr, madeOwner = nullptr, madeGroup = nullptr;
    PSECURITY_DESCRIPTOR stored = nullptr, made = nullptr;
    if (GetSecurityInfo(file->handle, SE_FILE_OBJECT, OWNER_AND_GROUP, &owner, &group, nullptr,
                        nullptr, &stored) != ERROR_SUCCESS)
        return true; // the file system keeps no owners
    bool kept = GetSecurityInfo(temp, SE_FILE_OBJECT, OWNER_AND_GROUP, &madeOwner, &madeGroup,
                                nullptr, nullptr, &made) == ERROR_SUCCESS;
    if (kept && !(sameSid(owner, madeOwner) && sameSid(group, madeGroup)))
        kept = SetSecurityInfo(temp, SE_FILE_OBJECT, OWNER_AND_GROUP, owner, group, nullptr,
                               nullptr) == ERROR_SUCCESS;
    LocalFree(stored);
    if (made != nullptr) LocalFree(made);
    return kept;
}

PlatRedoTarget redoTarget(const PlatUpdateFile *file) {
    return {file->handle, file->path, file->volume,
            (static_cast<uint64_t>(file->indexHigh) << 32) | file->indexLow};
}

// Writes the whole content of source over the stored file through its own
// handle.  When the new content could be prepared beside the file, a redo
// copy of it is made durable first (platform/win32/redo.h), so that a crash
// at any moment of the write leaves a whole version for the next open; if
// that copy cannot be made, nothing is written.  Without a folder that
// takes new files there is no copy, and a crash can leave the file partly
// written.
PlatRewrite writeInPlace(const PlatUpdateFile *file, HANDLE source, bool beside) {
    if (platFaultHit(PLAT_FAULT_FILE_INPLACE)) return PLAT_REWRITE_REFUSED;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(source, &size)) return PLAT_REWRITE_FAILED;
    wchar_t *redoPath = nullptr;
    HANDLE redo = INVALID_HANDLE_VALUE;
    if (beside) {
        redo = platWriteRedo(redoTarget(file), source, size.QuadPart, &redoPath);
        if (redo == INVALID_HANDLE_VALUE) return PLAT_REWRITE_FAILED;
    }
    int copied = redo != INVALID_HANDLE_VALUE
                     ? platCopyInPlace(redo, PLAT_REDO_HEADER_BYTES, size.QuadPart, file->handle)
                     : platCopyInPlace(source, 0, size.QuadPart, file->handle);
    if (redo != INVALID_HANDLE_VALUE) CloseHandle(redo);
    if (copied != -1 && redoPath != nullptr) {
        platCrashPoint();
        DeleteFileW(redoPath);
    }
    // After a failure part way the redo copy stays: the file may be torn.
    std::free(redoPath);
    return copied == 0    ? PLAT_REWRITE_IN_PLACE
           : copied == -1 ? PLAT_REWRITE_PARTIAL
                          : PLAT_REWRITE_FAILED;
}

// The full path of the leftover of that name (UTF-8) beside the file, from
// the heap; or null.
wchar_t *leftoverPath(const PlatUpdateFile *file, const char *name) {
    const wchar_t *slash = wcsrchr(file->path, L'\\');
    wchar_t *wideName = platUtf8ToWideAlloc(name);
    wchar_t *leftover = nullptr;
    if (slash != nullptr && wideName != nullptr) {
        size_t folderUnits = static_cast<size_t>(slash - file->path) + 1;
        size_t nameUnits = wcslen(wideName);
        leftover =
            static_cast<wchar_t *>(std::calloc(folderUnits + nameUnits + 1, sizeof(wchar_t)));
        if (leftover != nullptr) {
            std::memcpy(leftover, file->path, folderUnits * sizeof(wchar_t));
            std::memcpy(leftover + folderUnits, wideName, nameUnits * sizeof(wchar_t));
        }
    }
    std::free(wideName);
    return leftover;
}

// A failure of the move that writing in place can stand in for.
bool moveRefused(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION || error == ERROR_NOT_SAME_DEVICE ||
           error == ERROR_WRITE_PROTECT;
}

} // namespace

FILE *platRewriteStream(const PlatUpdateFile *file) { return file->rewrite; }

void platSetRewriteStream(PlatUpdateFile *file, FILE *stream) { file->rewrite = stream; }

bool platCanRewrite(const PlatUpdateFile *file) { return file->handle != INVALID_HANDLE_VALUE; }

FILE *platCreateBeside(PlatUpdateFile *file) {
    // The new file is created with the stored file's access list, so it is
    // never open to more readers than the stored one.
    PSECURITY_DESCRIPTOR acl = nullptr;
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (GetSecurityInfo(file->handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &acl) == ERROR_SUCCESS)
        security.lpSecurityDescriptor = acl;
    BY_HANDLE_FILE_INFORMATION info{};
    DWORD attributes = GetFileInformationByHandle(file->handle, &info)
                           ? info.dwFileAttributes & KEPT_ATTRIBUTES
                           : 0;
    PlatCreateNew create{attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL,
                         acl != nullptr ? &security : nullptr, nullptr, INVALID_HANDLE_VALUE};
    char base[TEMP_UTF8_BYTES];
    char name[TEMP_UTF8_BYTES];
    FILE *stream = nullptr;
    if (WideCharToMultiByte(CP_UTF8, 0, file->path, -1, base, sizeof base, nullptr, nullptr) != 0 &&
        platCreateUnderFreshName(base, name, sizeof name, platCreateNewFile, &create) == 0) {
        file->temp = create.path;
        stream = platStreamOverHandle(create.handle, true);
        if (stream == nullptr) {
            DeleteFileW(file->temp);
            std::free(file->temp);
            file->temp = nullptr;
        }
    }
    if (acl != nullptr) LocalFree(acl);
    return stream;
}

FILE *platCreateScratch() {
    HANDLE scratch = createScratch();
    return scratch != INVALID_HANDLE_VALUE ? platStreamOverHandle(scratch, true) : nullptr;
}

bool platHasBeside(const PlatUpdateFile *file) { return file->temp != nullptr; }

bool platSyncToDisk(FILE *out) {
    HANDLE h = handleOf(out);
    return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
}

bool platKeepIdentity(const PlatUpdateFile *file, FILE *out) {
    return keepIdentity(file, handleOf(out));
}

PlatNameSwap platReplaceName(PlatUpdateFile *file) {
    // Windows refuses to replace a file that any handle holds open, the
    // locking one included, so the lock is given up for the move, under the
    // hand-over guard (platform/win32/update_state.h).  Another updater that
    // waits holds the file open too and so makes the move fail: the lock is
    // then taken back, still under the guard, for an in-place write.  The
    // move replaces the name itself and never follows a link there.
    PlatHandOverGuard guard;
    if (!platTakeHandOverGuard(file->path, GetTickCount64() + PLAT_UPDATE_LOCK_WAIT_MS, guard))
        return PLAT_SWAP_REFUSED;
    platUnlockFile(file);
    if (MoveFileExW(file->temp, file->path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        std::free(file->temp);
        file->temp = nullptr;
        return PLAT_SWAP_DONE;
    }
    DWORD error = GetLastError();
    if (platRelockFile(file) != 0 || !moveRefused(error)) return PLAT_SWAP_REFUSED;
    return PLAT_SWAP_IN_PLACE;
}

PlatRewrite platWriteInPlace(PlatUpdateFile *file, FILE **out, bool beside) {
    return writeInPlace(file, handleOf(*out), beside);
}

void platEndRewrite(PlatUpdateFile *file, FILE *out) {
    if (out != nullptr) fclose(out);
    file->rewrite = nullptr;
    if (file->temp != nullptr) DeleteFileW(file->temp);
    std::free(file->temp);
    file->temp = nullptr;
}

void platEachLeftover(const PlatUpdateFile *file, PlatLeftoverFn each, void *context) {
    const wchar_t *slash = wcsrchr(file->path, L'\\');
    if (slash == nullptr) return;
    char base[NAME_UTF8_BYTES];
    if (WideCharToMultiByte(CP_UTF8, 0, slash + 1, -1, base, sizeof base, nullptr, nullptr) == 0)
        return;
    wchar_t *pattern = platJoinWide(file->path, L".~*");
    if (pattern == nullptr) return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    std::free(pattern);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        char name[NAME_UTF8_BYTES];
        if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
            WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr,
                                nullptr) != 0 &&
            platIsTempNameOf(base, name) && !each(file, name, context))
            break;
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

int platFinishInterrupted(const PlatUpdateFile *file, const char *name) {
    PlatRedoTarget target = redoTarget(file);
    wchar_t *path = name == nullptr ? platRedoPath(target) : leftoverPath(file, name);
    if (path == nullptr) return 0;
    int64_t size = 0;
    HANDLE redo = platOpenRedo(target, path, &size);
    if (redo == INVALID_HANDLE_VALUE) {
        std::free(path);
        return 0;
    }
    int copied = platCopyInPlace(redo, PLAT_REDO_HEADER_BYTES, size, file->handle);
    DWORD error = GetLastError();
    CloseHandle(redo);
    int result = 0;
    if (copied != 0) {
        errno = platErrnoOf(error);
        result = -1;
    } else {
        platCrashPoint();
        // A copy left behind would be read instead of the file, and written
        // over it again, after the file has changed: one that cannot be
        // removed fails the open.
        if (!DeleteFileW(path) && GetLastError() != ERROR_FILE_NOT_FOUND) {
            errno = platErrnoOf(GetLastError());
            result = -1;
        }
    }
    std::free(path);
    return result;
}

void platRemoveLeftover(const PlatUpdateFile *file, const char *name) {
    wchar_t *leftover = leftoverPath(file, name);
    if (leftover != nullptr) DeleteFileW(leftover);
    std::free(leftover);
}
