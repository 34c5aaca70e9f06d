#include "support/process.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <string>
// shellapi.h needs windows.h before it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

namespace {
// Quotes one argument by the rules CommandLineToArgvW and the C runtime use.
void appendQuoted(std::string &line, const char *arg) {
    line += '"';
    unsigned backslashes = 0;
    for (const char *p = arg; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++backslashes;
            continue;
        }
        if (*p == '"') backslashes = backslashes * 2 + 1;
        line.append(backslashes, '\\');
        backslashes = 0;
        line += *p;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

std::wstring widen(const char *text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

std::string narrow(const wchar_t *text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), n, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(n - 1));
    return utf8;
}

// An inheritable handle on the file, for a child's standard stream.
HANDLE openForChild(const char *path, bool write) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileW(widen(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// CreateProcessW, tried again a few times: under Wine on a loaded machine
// a start fails now and then for a moment.  A start that keeps failing is
// reported with the system's error code.
bool createProcess(const wchar_t *path, wchar_t *line, BOOL inherit, STARTUPINFOW *si,
                   PROCESS_INFORMATION *pi) {
    DWORD error = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt > 0) Sleep(100);
        if (CreateProcessW(path, line, nullptr, nullptr, inherit, 0, nullptr, nullptr, si, pi))
            return true;
        error = GetLastError();
    }
    std::fprintf(stderr, "CreateProcessW failed: error %lu\n", static_cast<unsigned long>(error));
    return false;
}

std::string commandLine(const char *path, const char *const *args) {
    std::string line;
    appendQuoted(line, path);
    for (; args != nullptr && *args != nullptr; ++args) {
        line += ' ';
        appendQuoted(line, *args);
    }
    return line;
}
} // namespace

PlatProcess platSpawn(const char *path, const char *const *args) {
    std::wstring line = widen(commandLine(path, args).c_str());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!createProcess(widen(path).c_str(), line.data(), FALSE, &si, &pi)) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

PlatProcess platSpawnCaptured(const char *path, const char *const *args, const char *outPath,
                              const char *errPath) {
    std::wstring line = widen(commandLine(path, args).c_str());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = openForChild("NUL", false);
    si.hStdOutput = openForChild(outPath, true);
    si.hStdError = openForChild(errPath, true);
    PROCESS_INFORMATION pi{};
    bool started = si.hStdInput != INVALID_HANDLE_VALUE && si.hStdOutput != INVALID_HANDLE_VALUE &&
                   si.hStdError != INVALID_HANDLE_VALUE &&
                   createProcess(widen(path).c_str(), line.data(), TRUE, &si, &pi);
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!started) return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

int platWaitProcess(PlatProcess process) {
    HANDLE h = static_cast<HANDLE>(process);
    DWORD code = 0;
    bool ok = WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(h, &code);
    CloseHandle(h);
    return ok ? static_cast<int>(code) : -1;
}

int platWaitProcessFor(PlatProcess process, unsigned ms) {
    HANDLE h = static_cast<HANDLE>(process);
    int result = -1;
    DWORD code = 0;
    switch (WaitForSingleObject(h, ms)) {
    case WAIT_OBJECT_0:
        if (GetExitCodeProcess(h, &code)) result = static_cast<int>(code);
        break;
    case WAIT_TIMEOUT:
        TerminateProcess(h, 137);
        WaitForSingleObject(h, INFINITE);
        result = PLAT_PROCESS_HUNG;
        break;
    default:
        break;
    }
    CloseHandle(h);
    return result;
}

PlatProcess platFork(int (*childMain)(void *), void *arg) {
    (void)childMain;
    (void)arg;
    return nullptr;
}

int platMakeFifo(const char *path) {
    (void)path;
    return -1;
}

FILE *platBrokenPipeStream() {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return nullptr;
    CloseHandle(readEnd);
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_WRONLY);
    if (fd < 0) {
        CloseHandle(writeEnd);
        return nullptr;
    }
    FILE *stream = _fdopen(fd, "w");
    if (stream == nullptr) _close(fd);
    return stream;
}

PlatThread platStartThread(void (*fn)(void *), void *arg) {
    (void)fn;
    (void)arg;
    return nullptr;
}

void platCancelThread(PlatThread thread) { (void)thread; }

int platJoinThread(PlatThread thread) {
    (void)thread;
    return -1;
}

void platCancellationPoint() {}

void platKillProcess(PlatProcess process) { TerminateProcess(static_cast<HANDLE>(process), 137); }

const char *platSelfPath() {
    static char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    path[n < sizeof path ? n : 0] = '\0';
    return path;
}

void platSleepMs(unsigned ms) { Sleep(ms); }

int platDropPrivileges() { return -1; }

std::vector<std::string> platArgumentsUtf8(int argc, char **argv) {
    int count = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i) args.push_back(narrow(wide[i]));
    LocalFree(wide);
    return args;
}
