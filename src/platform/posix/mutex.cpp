// Named mutexes on POSIX.
//
// Process-private names map to robust, recursive pthread mutexes kept in a
// registry for the life of the process, so the same name always reaches the
// same mutex, as a Windows named mutex does while a handle to it is open.  A
// thread that ends while holding one leaves it "owner died": the next waiter
// gets EOWNERDEAD, marks it consistent and owns it (reported as abandoned).
//
// Names that begin with "Global\" are machine-wide.  Each is a lock file in
// /tmp, locked with flock(2): every process of every user can open it, the
// kernel lets one open file description hold the lock at a time (so two
// handles of one process contend like two processes do), and the lock is
// released when its holder's process ends, however it ends.  A wait polls
// the lock until its time-out.  Such a lock is never reported abandoned: a
// dead holder's lock is simply free again.  The file lives in a folder every
// user can write, so it is opened without following symbolic links, never
// truncated or written, and created with mode 0666 so every user can lock it.
#include "platform/mutex.h"

#include "platform/fault.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum HandleKind { LOCAL_MUTEX = 1, GLOBAL_LOCK = 2 };

constexpr const char GLOBAL_PREFIX[] = "Global\\";
constexpr size_t GLOBAL_PREFIX_LEN = sizeof(GLOBAL_PREFIX) - 1;
constexpr const char GLOBAL_LOCK_FOLDER[] = "/tmp/";
constexpr mode_t EVERYONE_MODE = 0666;
constexpr size_t NAME_SIZE = 261;

struct LocalMutex {
    int kind; // LOCAL_MUTEX
    char name[NAME_SIZE];
    pthread_mutex_t mutex;
    LocalMutex *next;
};

struct GlobalLock {
    int kind; // GLOBAL_LOCK
    int fd;
};

// The registry of process-private mutexes.  A name keeps one mutex for as
// long as the library is loaded; the entries are freed when it is unloaded.
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
LocalMutex *registry = nullptr;

struct RegistryRelease {
    ~RegistryRelease() {
        while (registry != nullptr) {
            LocalMutex *next = registry->next;
            std::free(registry);
            registry = next;
        }
    }
} registryRelease;

struct DescriptorRecord {
    mode_t mode;
};
// Written under its lock: threads of the report and of the API locks ask for
// it at the same time.
pthread_mutex_t descriptorLock = PTHREAD_MUTEX_INITIALIZER;
DescriptorRecord everyoneDescriptor;

LocalMutex *findOrCreateLocal(const char *name) {
    pthread_mutex_lock(&registryLock);
    LocalMutex *m = registry;
    while (m != nullptr && std::strcmp(m->name, name) != 0) m = m->next;
    if (m == nullptr) {
        m = static_cast<LocalMutex *>(std::calloc(1, sizeof *m));
        pthread_mutexattr_t attr;
        bool ok = m != nullptr && pthread_mutexattr_init(&attr) == 0;
        if (ok) {
            ok = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                 pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                 pthread_mutex_init(&m->mutex, &attr) == 0;
            pthread_mutexattr_destroy(&attr);
        }
        if (ok) {
            m->kind = LOCAL_MUTEX;
            std::snprintf(m->name, sizeof m->name, "%s", name);
            m->next = registry;
            registry = m;
        } else {
            std::free(m);
            m = nullptr;
        }
    }
    pthread_mutex_unlock(&registryLock);
    return m;
}

// Opens the lock file without following links and without truncating it.  A
// file that exists is opened as it is (sticky folders refuse O_CREAT on
// another user's file); a missing one is created exclusively.
int openLockFile(const char *path) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, EVERYONE_MODE);
        if (fd >= 0) {
            fchmod(fd, EVERYONE_MODE); // the creator's umask must not narrow it
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

GlobalLock *createGlobal(const char *name) {
    char path[sizeof GLOBAL_LOCK_FOLDER + NAME_SIZE + 16];
    int n = std::snprintf(path, sizeof path, "%skvinit64-", GLOBAL_LOCK_FOLDER);
    // Only the name's own characters that are safe in a file name are kept.
    for (const char *p = name; *p != '\0' && n < static_cast<int>(sizeof path) - 6; ++p) {
        char c = *p;
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
        path[n++] = safe ? c : '_';
    }
    std::snprintf(path + n, sizeof path - static_cast<size_t>(n), ".lck");
    auto *g = static_cast<GlobalLock *>(std::malloc(sizeof(GlobalLock)));
    if (g == nullptr) return nullptr;
    g->kind = GLOBAL_LOCK;
    g->fd = openLockFile(path);
    if (g->fd < 0) {
        std::free(g);
        return nullptr;
    }
    return g;
}

timespec deadlineAfter(clockid_t clock, uint32_t ms) {
    timespec t;
    clock_gettime(clock, &t);
    t.tv_sec += static_cast<time_t>(ms / 1000);
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

bool passed(const timespec &deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

PlatWait waitLocal(LocalMutex *m, uint32_t timeoutMs) {
    int rc;
    if (timeoutMs == 0) {
        rc = pthread_mutex_trylock(&m->mutex);
        if (rc == EBUSY) return PLAT_WAIT_TIMEOUT;
    } else {
        // timedlock (not clocklock) so that ThreadSanitizer sees the lock.
        timespec deadline = deadlineAfter(CLOCK_REALTIME, timeoutMs);
        rc = pthread_mutex_timedlock(&m->mutex, &deadline);
        if (rc == ETIMEDOUT) return PLAT_WAIT_TIMEOUT;
    }
    if (rc == 0) return PLAT_WAIT_ACQUIRED;
    if (rc == EOWNERDEAD) {
        // Without this the mutex would become unusable for good on unlock.
        pthread_mutex_consistent(&m->mutex);
        return PLAT_WAIT_ABANDONED;
    }
    return PLAT_WAIT_FAILED;
}

PlatWait waitGlobal(GlobalLock *g, uint32_t timeoutMs) {
    timespec deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
    long pauseNs = 100000; // 0.1 ms, doubling up to 10 ms
    for (;;) {
        if (flock(g->fd, LOCK_EX | LOCK_NB) == 0) return PLAT_WAIT_ACQUIRED;
        if (errno != EWOULDBLOCK && errno != EINTR) return PLAT_WAIT_FAILED;
        if (timeoutMs == 0 || passed(deadline)) return PLAT_WAIT_TIMEOUT;
        timespec pause{0, pauseNs};
        nanosleep(&pause, nullptr);
        if (pauseNs < 10000000L) pauseNs *= 2;
    }
}

} // namespace

int platInitSecurityDescriptor(void **descriptor) {
    if (descriptor == nullptr || platFaultHit(PLAT_FAULT_SECURITY)) return -1;
    pthread_mutex_lock(&descriptorLock);
    everyoneDescriptor.mode = EVERYONE_MODE;
    pthread_mutex_unlock(&descriptorLock);
    *descriptor = &everyoneDescriptor;
    return 0;
}

PlatMutex platCreateMutex(const QDMsecurityAttrs *attrs, const char *name) {
    (void)attrs; // the POSIX objects are open to everyone by construction
    if (name == nullptr || platFaultHit(PLAT_FAULT_MUTEX_CREATE)) return nullptr;
    if (std::strncmp(name, GLOBAL_PREFIX, GLOBAL_PREFIX_LEN) == 0)
        return createGlobal(name + GLOBAL_PREFIX_LEN);
    return findOrCreateLocal(name);
}

PlatWait platWaitMutex(PlatMutex mutex, uint32_t timeoutMs) {
    if (mutex == nullptr || platFaultHit(PLAT_FAULT_MUTEX_WAIT)) return PLAT_WAIT_FAILED;
    if (*static_cast<int *>(mutex) == GLOBAL_LOCK)
        return waitGlobal(static_cast<GlobalLock *>(mutex), timeoutMs);
    return waitLocal(static_cast<LocalMutex *>(mutex), timeoutMs);
}

void platReleaseMutex(PlatMutex mutex) {
    if (mutex == nullptr) return;
    if (*static_cast<int *>(mutex) == GLOBAL_LOCK)
        flock(static_cast<GlobalLock *>(mutex)->fd, LOCK_UN);
    else
        pthread_mutex_unlock(&static_cast<LocalMutex *>(mutex)->mutex);
}

void platCloseMutex(PlatMutex mutex) {
    if (mutex == nullptr || *static_cast<int *>(mutex) != GLOBAL_LOCK) return;
    auto *g = static_cast<GlobalLock *>(mutex);
    close(g->fd);
    std::free(g);
}

uint32_t platProcessId() { return static_cast<uint32_t>(getpid()); }
