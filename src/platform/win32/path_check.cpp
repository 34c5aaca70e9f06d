// Path checks before Windows opens (platform/win32/path_check.h).
#include "platform/win32/path_check.h"

#include <aclapi.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr int WHERE_UTF8_BYTES = static_cast<int>(PLAT_REASON_WHERE_SIZE);

// True when sid is the user of this process's token.
bool isCaller(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    auto *user = static_cast<TOKEN_USER *>(std::malloc(size > 0 ? size : 1));
    bool same = user != nullptr && GetTokenInformation(token, TokenUser, user, size, &size) &&
                EqualSid(user->User.Sid, sid);
    std::free(user);
    CloseHandle(token);
    return same;
}

// True when the reparse point at path belongs to the caller, the local
// system or the administrators, or when its file system keeps no owners.
bool trustedOwner(const wchar_t *path) {
    HANDLE h = CreateFileW(path, READ_CONTROL, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool trusted = true;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) == ERROR_SUCCESS &&
        owner != nullptr)
        trusted = IsWellKnownSid(owner, WinLocalSystemSid) ||
                  IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || isCaller(owner);
    if (descriptor != nullptr) LocalFree(descriptor);
    CloseHandle(h);
    return trusted;
}

// Where the parts after the root begin in a full path: "C:\", "\\?\C:\",
// "\\server\share\" or "\\?\UNC\server\share\".
size_t firstPart(const wchar_t *full) {
    size_t at = 0;
    if (std::wcsncmp(full, L"\\\\?\\", 4) == 0) {
        at = 4;
        if (std::wcsncmp(full + at, L"UNC\\", 4) == 0) {
            at += 4;
            for (int slashes = 0; full[at] != L'\0' && slashes < 2; ++at)
                if (full[at] == L'\\') ++slashes;
            return at;
        }
    } else if (full[0] == L'\\' && full[1] == L'\\') {
        at = 2;
        for (int slashes = 0; full[at] != L'\0' && slashes < 2; ++at)
            if (full[at] == L'\\') ++slashes;
        return at;
    }
    return full[at] != L'\0' && full[at + 1] == L':' && full[at + 2] == L'\\' ? at + 3 : at;
}

} // namespace

bool platUntrustedReparsePoint(const wchar_t *path, PlatOpenReason *reason) {
    DWORD units = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (units == 0) return false;
    auto *full = static_cast<wchar_t *>(std::calloc(units + 1, sizeof(wchar_t)));
    if (full == nullptr || GetFullPathNameW(path, units + 1, full, nullptr) == 0) {
        std::free(full);
        return false;
    }
    bool untrusted = false;
    for (size_t at = firstPart(full); !untrusted; ++at) {
        wchar_t kept = full[at];
        if (kept != L'\\' && kept != L'\0') continue;
        full[at] = L'\0';
        DWORD attributes = GetFileAttributesW(full);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            full[at] = kept;
            break; // missing from here on: the open says so
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !trustedOwner(full)) {
            untrusted = true;
            char where[WHERE_UTF8_BYTES];
            if (WideCharToMultiByte(CP_UTF8, 0, full, -1, where, sizeof where, nullptr, nullptr) ==
                0)
                std::strcpy(where, "?");
            platSetReason(reason, PLAT_WHY_UNTRUSTED_LINK, 0, nullptr, where);
        }
        full[at] = kept;
        if (kept == L'\0') break;
    }
    std::free(full);
    return untrusted;
}

int platErrnoOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EBUSY;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_CANT_RESOLVE_FILENAME:
        return ELOOP;
    default:
        return EIO;
    }
}

wchar_t *platFinalPath(HANDLE h) {
    DWORD units = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED);
    if (units == 0) return nullptr;
    auto *path = static_cast<wchar_t *>(std::calloc(units + 1, sizeof(wchar_t)));
    if (path == nullptr) return nullptr;
    DWORD got = GetFinalPathNameByHandleW(h, path, units + 1, FILE_NAME_NORMALIZED);
    if (got == 0 || got > units) {
        std::free(path);
        return nullptr;
    }
    return path;
}
