#include "support/process.h"

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {
PlatProcess spawnWith(const char *path, const char *const *args,
                      const posix_spawn_file_actions_t *actions) {
    const char *argv[64];
    int n = 0;
    argv[n++] = path;
    for (; args != nullptr && args[n - 1] != nullptr && n < 63; ++n) argv[n] = args[n - 1];
    argv[n] = nullptr;
    pid_t pid;
    if (posix_spawn(&pid, path, actions, nullptr, const_cast<char *const *>(argv), environ) != 0)
        return nullptr;
    return reinterpret_cast<PlatProcess>(static_cast<intptr_t>(pid));
}
} // namespace

PlatProcess platSpawn(const char *path, const char *const *args) {
    return spawnWith(path, args, nullptr);
}

PlatProcess platSpawnCaptured(const char *path, const char *const *args, const char *outPath,
                              const char *errPath) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return nullptr;
    constexpr int OUT_FLAGS = O_WRONLY | O_CREAT | O_TRUNC;
    PlatProcess child = nullptr;
    if (posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
        posix_spawn_file_actions_addopen(&actions, 1, outPath, OUT_FLAGS, 0644) == 0 &&
        posix_spawn_file_actions_addopen(&actions, 2, errPath, OUT_FLAGS, 0644) == 0)
        child = spawnWith(path, args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

int platWaitProcess(PlatProcess process) {
    auto pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(process));
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int platWaitProcessFor(PlatProcess process, unsigned ms) {
    auto pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(process));
    constexpr unsigned STEP_MS = 1;
    for (unsigned waited = 0;; waited += STEP_MS) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        }
        if (done != 0) return -1;
        if (waited >= ms) break;
        platSleepMs(STEP_MS);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return PLAT_PROCESS_HUNG;
}

PlatProcess platFork(int (*childMain)(void *), void *arg) {
    pid_t pid = fork();
    if (pid < 0) return nullptr;
    if (pid == 0) _exit(childMain(arg));
    return reinterpret_cast<PlatProcess>(static_cast<intptr_t>(pid));
}

int platMakeFifo(const char *path) { return mkfifo(path, 0600) == 0 ? 0 : -1; }

FILE *platBrokenPipeStream() {
    int ends[2];
    if (pipe(ends) != 0) return nullptr;
    close(ends[0]);
    FILE *stream = fdopen(ends[1], "w");
    if (stream == nullptr) close(ends[1]);
    return stream;
}

namespace {
struct ThreadStart {
    void (*fn)(void *);
    void *arg;
};

void *runThread(void *start) {
    ThreadStart s = *static_cast<ThreadStart *>(start);
    delete static_cast<ThreadStart *>(start);
    s.fn(s.arg);
    return nullptr;
}
} // namespace

PlatThread platStartThread(void (*fn)(void *), void *arg) {
    auto *start = new ThreadStart{fn, arg};
    auto *thread = new pthread_t;
    if (pthread_create(thread, nullptr, runThread, start) != 0) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

void platCancelThread(PlatThread thread) { pthread_cancel(*static_cast<pthread_t *>(thread)); }

int platJoinThread(PlatThread thread) {
    auto *t = static_cast<pthread_t *>(thread);
    void *result = nullptr;
    int rc = pthread_join(*t, &result);
    delete t;
    if (rc != 0) return -1;
    return result == PTHREAD_CANCELED ? 1 : 0;
}

void platCancellationPoint() { pthread_testcancel(); }

void platKillProcess(PlatProcess process) {
    kill(static_cast<pid_t>(reinterpret_cast<intptr_t>(process)), SIGKILL);
}

const char *platSelfPath() {
    static char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
    return path;
}

void platSleepMs(unsigned ms) {
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

int platDropPrivileges() {
    if (geteuid() != 0) return 0;
    constexpr unsigned NOBODY = 65534;
    if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) return -1;
    return geteuid() == 0 ? -1 : 0;
}

std::vector<std::string> platArgumentsUtf8(int argc, char **argv) {
    return std::vector<std::string>(argv, argv + argc);
}
