// Machine-wide named mutexes on POSIX ("Global\" names).
//
// Each name is a lock file in /tmp, locked with flock(2): every process of
// every user can open it, the kernel lets one open file description hold the
// lock at a time (so two handles of one process contend like two processes
// do), and the lock is released when its holder's process ends, however it
// ends.  A wait polls the lock until its time-out.
//
// The folder is writable by every user, so anyone may plant something at the
// path.  The file is opened without following symbolic links, without
// waiting (a FIFO would block the open) and as no controlling terminal, and
// must then be a regular file; it is never truncated or written, and it is
// created with mode 0666 so every user can lock it.  Anything else at the
// path makes the lock one that cannot be created, at once.
//
// flock belongs to the open file, not to a thread, so two more things are
// needed to behave like a Windows mutex:
// - a thread that ends holding the lock must not hold it until its process
//   ends: each name also has a process-local robust mutex, taken before the
//   file lock.  A waiter that finds that mutex's owner dead gives the dead
//   holder's file lock back and reports the lock abandoned;
// - a forked child shares its parent's open files, and with them a file lock
//   the parent holds, which would then outlive the parent.  Every open
//   handle is on a list, and a forked child closes its copies (closing, not
//   unlocking: the lock still belongs to the parent).
#include "platform/fault.h"
#include "platform/posix/mutex_parts.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

struct GlobalLock {
    int kind;          // GLOBAL_LOCK
    int fd;            // the lock file; -1 once a forked child dropped its copy
    LocalMutex *local; // the process-local half, named like the lock
    GlobalLock *prev, *next;
};

namespace {

constexpr char GLOBAL_LOCK_FOLDER[] = "/tmp/";
constexpr mode_t EVERYONE_MODE = 0666;
constexpr long FIRST_PAUSE_NS = 100000;     // 0.1 ms, doubling ...
constexpr long LONGEST_PAUSE_NS = 10000000; // ... up to 10 ms
constexpr int OPEN_ATTEMPTS = 8;

// The open handles of this process; the lock also covers opening a handle's
// file, so a fork never copies a lock file that is not on the list.
pthread_mutex_t openLocksLock = PTHREAD_MUTEX_INITIALIZER;
GlobalLock *openLocks = nullptr;

// Opens the lock file without following links, without waiting and without
// truncating it, and checks that it is a regular file.  A file that exists
// is opened as it is (sticky folders refuse O_CREAT on another user's file);
// a missing one is created exclusively.  Returns the descriptor or -1.
int openLockFile(const char *path) {
    constexpr int FLAGS = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        int fd = open(path, FLAGS);
        if (fd >= 0) {
            struct stat st;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
            close(fd);
            return -1;
        }
        if (errno != ENOENT) return -1;
        fd = open(path, FLAGS | O_CREAT | O_EXCL, EVERYONE_MODE);
        if (fd >= 0) {
            fchmod(fd, EVERYONE_MODE); // the creator's umask must not narrow it
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

bool passed(const timespec &deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// Polls the file lock until the deadline (just once when `once`).
PlatWait lockFile(int fd, const timespec &deadline, bool once) {
    long pauseNs = FIRST_PAUSE_NS;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return PLAT_WAIT_ACQUIRED;
        if (errno != EWOULDBLOCK && errno != EINTR) return PLAT_WAIT_FAILED;
        if (once || passed(deadline)) return PLAT_WAIT_TIMEOUT;
        timespec pause{0, pauseNs};
        nanosleep(&pause, nullptr);
        if (pauseNs < LONGEST_PAUSE_NS) pauseNs *= 2;
    }
}

} // namespace

int platGlobalLockPath(const char *name, char *out, size_t size) {
    if (name == nullptr || out == nullptr || size == 0) return -1;
    char path[sizeof GLOBAL_LOCK_FOLDER + PLAT_MUTEX_NAME_SIZE + 16];
    int n = std::snprintf(path, sizeof path, "%skvinit64-", GLOBAL_LOCK_FOLDER);
    // Only the name's own characters that are safe in a file name are kept.
    for (const char *p = name; *p != '\0' && n < static_cast<int>(sizeof path) - 6; ++p) {
        char c = *p;
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
        path[n++] = safe ? c : '_';
    }
    std::snprintf(path + n, sizeof path - static_cast<size_t>(n), ".lck");
    if (std::strlen(path) >= size) return -1;
    std::memcpy(out, path, std::strlen(path) + 1);
    return 0;
}

// name: the whole name, "Global\" included.
GlobalLock *createGlobal(const char *name) {
    char path[sizeof GLOBAL_LOCK_FOLDER + PLAT_MUTEX_NAME_SIZE + 16];
    if (platGlobalLockPath(name + sizeof PLAT_GLOBAL_PREFIX - 1, path, sizeof path) != 0)
        return nullptr;
    LocalMutex *local = findOrCreateLocal(name);
    if (local == nullptr) return nullptr;
    auto *g = static_cast<GlobalLock *>(std::malloc(sizeof(GlobalLock)));
    if (g == nullptr) return nullptr;
    g->kind = GLOBAL_LOCK;
    g->local = local;
    g->prev = nullptr;
    pthread_mutex_lock(&openLocksLock);
    g->fd = openLockFile(path);
    if (g->fd >= 0) {
        g->next = openLocks;
        if (openLocks != nullptr) openLocks->prev = g;
        openLocks = g;
    }
    pthread_mutex_unlock(&openLocksLock);
    if (g->fd < 0) {
        std::free(g);
        return nullptr;
    }
    return g;
}

PlatWait waitGlobal(GlobalLock *g, uint32_t timeoutMs) {
    if (g->fd < 0) return PLAT_WAIT_FAILED;
    LocalMutex *local = g->local;
    timespec deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    bool abandoned = false;
    switch (lockLocal(local, timeoutMs)) {
    case 0:
        break;
    case ETIMEDOUT:
        return PLAT_WAIT_TIMEOUT;
    case EOWNERDEAD: {
        // Its owner ended holding the machine-wide lock through a handle that
        // nobody will give back: give that lock back now.  (The list's lock
        // keeps the handle from being closed meanwhile.)
        pthread_mutex_lock(&openLocksLock);
        GlobalLock *dead = local->holder.exchange(nullptr);
        if (dead != nullptr && dead->fd >= 0) flock(dead->fd, LOCK_UN);
        pthread_mutex_unlock(&openLocksLock);
        abandoned = true;
        break;
    }
    default:
        return PLAT_WAIT_FAILED;
    }
    // What is left of the time-out goes to the file lock, which another
    // process may hold.
    PlatWait result = lockFile(g->fd, deadline, timeoutMs == 0);
    if (result != PLAT_WAIT_ACQUIRED) {
        pthread_mutex_unlock(&local->mutex);
        return result;
    }
    local->holder.store(g);
    return abandoned ? PLAT_WAIT_ABANDONED : PLAT_WAIT_ACQUIRED;
}

void releaseGlobal(GlobalLock *g) {
    GlobalLock *self = g;
    g->local->holder.compare_exchange_strong(self, nullptr);
    if (g->fd >= 0) flock(g->fd, LOCK_UN);
    pthread_mutex_unlock(&g->local->mutex);
}

void closeGlobal(GlobalLock *g) {
    pthread_mutex_lock(&openLocksLock);
    if (g->prev != nullptr) g->prev->next = g->next;
    if (g->next != nullptr) g->next->prev = g->prev;
    if (openLocks == g) openLocks = g->next;
    GlobalLock *self = g; // a handle closed while it holds the lock holds it no more
    g->local->holder.compare_exchange_strong(self, nullptr);
    pthread_mutex_unlock(&openLocksLock);
    if (g->fd >= 0) close(g->fd);
    std::free(g);
}

void forkPrepareGlobals() { pthread_mutex_lock(&openLocksLock); }

void forkParentGlobals() { pthread_mutex_unlock(&openLocksLock); }

void forkChildGlobals() {
    for (GlobalLock *g = openLocks; g != nullptr; g = g->next) {
        if (g->fd >= 0) close(g->fd);
        g->fd = -1;
    }
    pthread_mutex_init(&openLocksLock, nullptr);
}
