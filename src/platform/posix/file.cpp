// UTF-8 paths on POSIX systems: the file name is the path's bytes as they
// are, so the path goes to the open unchanged.  The mode obeys the same
// length limit as on Windows, so a caller sees one behaviour on both.
#include "platform/file.h"

#include "platform/fault.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {
constexpr mode_t CREATE_MODE = 0666; // narrowed by the umask, as fopen does
constexpr int QUIET_WAS_BLOCKED = 1; // SIGPIPE was blocked before: keep it so
constexpr int QUIET_WAS_PENDING = 2; // one was pending before: not ours to take
} // namespace

FILE *platOpenUtf8(const char *path, const char *mode) {
    if (path == nullptr || mode == nullptr || platFaultHit(PLAT_FAULT_FILE_OPEN)) return nullptr;
    if (strnlen(mode, PLAT_OPEN_MODE_MAX + 1) > PLAT_OPEN_MODE_MAX) return nullptr;
    return std::fopen(path, mode);
}

FILE *platOpenAppendNoWait(const char *path) {
    if (path == nullptr || platFaultHit(PLAT_FAULT_FILE_OPEN)) return nullptr;
    int fd =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, CREATE_MODE);
    if (fd < 0) return nullptr;
    FILE *stream = fdopen(fd, "a");
    if (stream == nullptr) close(fd);
    return stream;
}

int platBeginQuietPipe() {
    sigset_t pipe, former, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    int token = 0;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1)
        token |= QUIET_WAS_PENDING;
    if (pthread_sigmask(SIG_BLOCK, &pipe, &former) == 0 && sigismember(&former, SIGPIPE) == 1)
        token |= QUIET_WAS_BLOCKED;
    return token;
}

void platEndQuietPipe(int token) {
    sigset_t pipe, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    if ((token & QUIET_WAS_PENDING) == 0 && sigpending(&pending) == 0 &&
        sigismember(&pending, SIGPIPE) == 1) {
        // Raised by our own write, at this thread: take it off unseen.
        timespec none{0, 0};
        sigtimedwait(&pipe, nullptr, &none);
    }
    if ((token & QUIET_WAS_BLOCKED) == 0) pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
}
