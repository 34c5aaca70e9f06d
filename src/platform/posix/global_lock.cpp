// Machine-wide named mutexes on POSIX ("Global\" names).
//
// Each name is a lock file in /tmp, locked with flock(2): every process of
// every user can open it, the kernel lets one open file description hold the
// lock at a time, and the lock is released when its holder's process ends,
// however it ends.  A wait polls the lock until its time-out.
//
// The folder is writable by every user, so anyone may plant something at the
// path.  The file is opened without following symbolic links, without
// waiting (a FIFO would block the open) and as no controlling terminal, and
// must then be a regular file; it is never truncated or written, and it is
// created with mode 0666 so every user can lock it.  Anything else at the
// path makes the lock one that cannot be created, at once.
//
// flock belongs to the open file, not to a thread: it would let a second
// wait through one handle pass and then free the lock at the first of the
// two releases, and it would refuse the owner a second handle.  So each name
// also has a process-local half, taken before the file lock: a robust,
// recursive mutex of the registry (local_mutex.h), named like the lock, and
// a record of what this process holds.  Together they behave like a Windows
// mutex:
// - the owner passes, through any handle of the name, and its waits are
//   counted: the first takes the file lock, the last release gives it back;
// - a handle closed while the lock is held through it leaves its descriptor
//   to the name's record, so the lock stays held until the last release;
// - a thread that ends holding the lock must not hold it until its process
//   ends: a waiter that finds the local mutex's owner dead gives the file
//   lock back and reports the lock abandoned;
// - a forked child shares its parent's open files, and with them a file lock
//   the parent holds, which would then outlive the parent.  Every open
//   handle is on a list, and a forked child closes its copies (closing, not
//   unlocking: the lock still belongs to the parent).
#include "platform/posix/global_lock.h"

#include "platform/posix/deadline.h"
#include "platform/posix/local_mutex.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// What this process keeps of one machine-wide name, for the life of the
// process (never freed, like the registry's entries).
struct GlobalName {
    LocalMutex *local; // the process-local half, named like the lock
    // The owner's waits not yet given back; only the owner of `local` reads
    // or writes it.
    int depth;
    // The descriptor through which this process holds the file lock, or -1.
    // `orphaned` once the handle it belongs to was closed: the record then
    // closes it when the lock is given back.  Both change under listLock, so
    // that closing a handle and giving back an abandoned lock never meet on
    // a descriptor closed meanwhile.
    int heldFd;
    bool orphaned;
    GlobalName *next;
};

struct GlobalLock {
    int kind;         // GLOBAL_LOCK
    int fd;           // the lock file; -1 once a forked child dropped its copy
    GlobalName *name; // shared by every handle of the name
    GlobalLock *prev, *next;
};

namespace {

constexpr char GLOBAL_LOCK_FOLDER[] = "/tmp/";
constexpr mode_t EVERYONE_MODE = 0666;
constexpr long FIRST_PAUSE_NS = 100000;     // 0.1 ms, doubling ...
constexpr long LONGEST_PAUSE_NS = 10000000; // ... up to 10 ms
constexpr int OPEN_ATTEMPTS = 8;
constexpr int NAME_TABLE_SIZE = 16; // names before their records use the heap

// The open handles and the names' records.  The lock also covers opening a
// handle's file, so a fork never copies a lock file that is not on the list.
pthread_mutex_t listLock = PTHREAD_MUTEX_INITIALIZER;
GlobalLock *openLocks = nullptr;
GlobalName *names = nullptr;
GlobalName nameTable[NAME_TABLE_SIZE];
int nameTableUsed = 0;

// The record of the name whose process-local half is `local` (made when
// missing); null when it cannot be made.  Under listLock.
GlobalName *findOrCreateName(LocalMutex *local) {
    for (GlobalName *n = names; n != nullptr; n = n->next)
        if (n->local == local) return n;
    GlobalName *n = nameTableUsed < NAME_TABLE_SIZE
                        ? &nameTable[nameTableUsed++]
                        : static_cast<GlobalName *>(std::calloc(1, sizeof(GlobalName)));
    if (n == nullptr) return nullptr;
    n->local = local;
    n->depth = 0;
    n->heldFd = -1;
    n->orphaned = false;
    n->next = names;
    names = n;
    return n;
}

// Gives back the file lock that this process holds for the name, if any.
// Under listLock.
void dropFileLock(GlobalName *n) {
    if (n->heldFd >= 0) {
        flock(n->heldFd, LOCK_UN);
        if (n->orphaned) close(n->heldFd);
    }
    n->heldFd = -1;
    n->orphaned = false;
}

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

// Polls the file lock until the deadline (just once when `once`).
PlatWait lockFile(int fd, const timespec &deadline, bool once) {
    long pauseNs = FIRST_PAUSE_NS;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return PLAT_WAIT_ACQUIRED;
        if (errno != EWOULDBLOCK && errno != EINTR) return PLAT_WAIT_FAILED;
        if (once || deadlinePassed(CLOCK_MONOTONIC, deadline)) return PLAT_WAIT_TIMEOUT;
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

GlobalLock *createGlobal(const char *name) {
    char path[sizeof GLOBAL_LOCK_FOLDER + PLAT_MUTEX_NAME_SIZE + 16];
    if (platGlobalLockPath(name + sizeof PLAT_GLOBAL_PREFIX - 1, path, sizeof path) != 0)
        return nullptr;
    LocalMutex *local = findOrCreateLocal(name);
    if (local == nullptr) return nullptr;
    auto *g = static_cast<GlobalLock *>(std::malloc(sizeof(GlobalLock)));
    if (g == nullptr) return nullptr;
    g->kind = GLOBAL_LOCK;
    g->prev = nullptr;
    pthread_mutex_lock(&listLock);
    g->name = findOrCreateName(local);
    g->fd = g->name != nullptr ? openLockFile(path) : -1;
    if (g->fd >= 0) {
        g->next = openLocks;
        if (openLocks != nullptr) openLocks->prev = g;
        openLocks = g;
    }
    pthread_mutex_unlock(&listLock);
    if (g->fd < 0) {
        std::free(g);
        return nullptr;
    }
    return g;
}

PlatWait waitGlobal(GlobalLock *g, uint32_t timeoutMs) {
    if (g->fd < 0) return PLAT_WAIT_FAILED;
    GlobalName *n = g->name;
    timespec deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    bool abandoned = false;
    switch (lockLocal(n->local, timeoutMs)) {
    case 0:
        break;
    case ETIMEDOUT:
        return PLAT_WAIT_TIMEOUT;
    case EOWNERDEAD:
        // Its owner ended holding the lock, however many waits deep, through
        // a descriptor that nobody will give back: give the lock back now.
        pthread_mutex_lock(&listLock);
        dropFileLock(n);
        pthread_mutex_unlock(&listLock);
        n->depth = 0;
        abandoned = true;
        break;
    default:
        return PLAT_WAIT_FAILED;
    }
    // The owner passes: this process holds the file lock for it already.
    if (n->depth > 0) {
        ++n->depth;
        return PLAT_WAIT_ACQUIRED;
    }
    // What is left of the time-out goes to the file lock, which another
    // process may hold.
    PlatWait result = lockFile(g->fd, deadline, timeoutMs == 0);
    if (result != PLAT_WAIT_ACQUIRED) {
        unlockLocal(n->local);
        return result;
    }
    pthread_mutex_lock(&listLock);
    n->heldFd = g->fd;
    pthread_mutex_unlock(&listLock);
    n->depth = 1;
    return abandoned ? PLAT_WAIT_ABANDONED : PLAT_WAIT_ACQUIRED;
}

void releaseGlobal(GlobalLock *g) {
    GlobalName *n = g->name;
    if (n->depth > 0 && --n->depth == 0) {
        pthread_mutex_lock(&listLock);
        dropFileLock(n);
        pthread_mutex_unlock(&listLock);
    }
    unlockLocal(n->local);
}

void closeGlobal(GlobalLock *g) {
    pthread_mutex_lock(&listLock);
    if (g->prev != nullptr) g->prev->next = g->next;
    if (g->next != nullptr) g->next->prev = g->prev;
    if (openLocks == g) openLocks = g->next;
    // A handle closed while the lock is held through it leaves its
    // descriptor to the name, as a Windows mutex stays owned when one of its
    // handles is closed: the last release closes it.
    bool held = g->fd >= 0 && g->name->heldFd == g->fd;
    if (held) g->name->orphaned = true;
    pthread_mutex_unlock(&listLock);
    if (!held && g->fd >= 0) close(g->fd);
    std::free(g);
}

void forkPrepareGlobals() { pthread_mutex_lock(&listLock); }

void forkParentGlobals() { pthread_mutex_unlock(&listLock); }

void forkChildGlobals() {
    for (GlobalLock *g = openLocks; g != nullptr; g = g->next) {
        if (g->fd >= 0) close(g->fd);
        g->fd = -1;
    }
    for (GlobalName *n = names; n != nullptr; n = n->next) {
        if (n->orphaned) close(n->heldFd);
        n->heldFd = -1;
        n->orphaned = false;
        n->depth = 0; // the registry makes every local half free again
    }
    pthread_mutex_init(&listLock, nullptr);
}
