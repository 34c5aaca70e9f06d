#include "platform/process.h"

#include <cstdlib>
#include <string>
#include <windows.h>

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
} // namespace

PlatProcess platSpawn(const char *path, const char *const *args) {
    std::string line;
    appendQuoted(line, path);
    for (; args != nullptr && *args != nullptr; ++args) {
        line += ' ';
        appendQuoted(line, *args);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(path, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
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

void platKillProcess(PlatProcess process) { TerminateProcess(static_cast<HANDLE>(process), 137); }

const char *platSelfPath() {
    static char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    path[n < sizeof path ? n : 0] = '\0';
    return path;
}

void platSleepMs(unsigned ms) { Sleep(ms); }

int platDropPrivileges() { return -1; }
