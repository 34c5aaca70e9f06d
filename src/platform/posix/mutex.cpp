// Named mutexes on POSIX: process-private names, the state locks, and the
// entry points of platform/mutex.h.
//
// Process-private names map to robust, recursive pthread mutexes kept in a
// registry for the life of the process, so the same name always reaches the
// same mutex, as a Windows named mutex does while a handle to it is open.  A
// thread that ends while holding one leaves it "owner died": the next waiter
// gets EOWNERDEAD, marks it consistent and owns it (reported as abandoned).
// Names that begin with "Global\" are machine-wide: see global_lock.cpp.
//
// Nothing here is freed when the library is unloaded or the process exits:
// a host thread may still be inside a call at that moment.  The registry's
// entries come from a static table, so unloading leaves nothing behind; only
// a process that uses more names than the table holds (each fork generation
// adds the few names that carry its process id) takes the rest from the heap
// and keeps them.
#include "platform/fault.h"
#include "platform/posix/mutex_parts.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

// ThreadSanitizer does not intercept pthread_mutex_clocklock, so under it the
// timed wait uses timedlock (on the real-time clock) to stay visible.
#if defined(__SANITIZE_THREAD__)
#define KV_MUTEX_WAIT_VISIBLE_TO_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KV_MUTEX_WAIT_VISIBLE_TO_TSAN 1
#endif
#endif

namespace {

constexpr mode_t EVERYONE_MODE = 0666;
constexpr int LOCAL_TABLE_SIZE = 64; // names before the registry uses the heap

// Entries are only ever added, at the head, complete before they are
// published, so a lookup walks the list without the lock; the lock only
// serialises additions.
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<LocalMutex *> registry{nullptr};
LocalMutex localTable[LOCAL_TABLE_SIZE];
int localTableUsed = 0; // under registryLock

// The POSIX objects are open to everyone by construction; the descriptor is
// a constant that nobody writes, so it needs no lock.
struct DescriptorRecord {
    mode_t mode;
};
DescriptorRecord everyoneDescriptor{EVERYONE_MODE};

pthread_mutex_t stateLocks[PLAT_STATE_COUNT] = {PTHREAD_MUTEX_INITIALIZER};

LocalMutex *findLocal(LocalMutex *m, const char *name) {
    while (m != nullptr && std::strcmp(m->name, name) != 0) m = m->next;
    return m;
}

int initLocalMutex(pthread_mutex_t *mutex) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) return rc;
    rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0) rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0) rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

// std::atomic so that a forked child may forget it while nobody reads it.
std::atomic<uint32_t> processId{0};

} // namespace

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

LocalMutex *findOrCreateLocal(const char *name) {
    LocalMutex *m = findLocal(registry.load(std::memory_order_acquire), name);
    if (m != nullptr) return m;
    pthread_mutex_lock(&registryLock);
    // Another thread may have added it since the walk above.
    m = findLocal(registry.load(std::memory_order_acquire), name);
    if (m == nullptr) {
        bool fromTable = localTableUsed < LOCAL_TABLE_SIZE;
        void *spare = fromTable ? nullptr : std::calloc(1, sizeof(LocalMutex));
        m = fromTable ? &localTable[localTableUsed]
                      : (spare != nullptr ? new (spare) LocalMutex() : nullptr);
        if (m != nullptr && initLocalMutex(&m->mutex) == 0) {
            if (fromTable) ++localTableUsed;
            m->kind = LOCAL_MUTEX;
            std::strncpy(m->name, name, sizeof m->name - 1);
            m->next = registry.load(std::memory_order_relaxed);
            registry.store(m, std::memory_order_release);
        } else {
            if (!fromTable) std::free(m);
            m = nullptr;
        }
    }
    pthread_mutex_unlock(&registryLock);
    return m;
}

namespace {

// A waiter that finds a process-private mutex held by another thread tries
// it again up to SPIN_TRIES times before it sleeps, pausing between tries:
// SPIN_FIRST_PAUSES spin-wait instructions, then twice as many, up to
// SPIN_MAX_PAUSES (some tens of microseconds in all).  Chosen for speed, on
// figures of two threads calling QDKgetLibInfo at once on two cores, as
// throughput against one thread's (medians of runs):
// - no spin, 0.33 to 0.38: the waiter sleeps, the holder's release wakes it,
//   both through the kernel, each many times the call itself;
// - a try after every single pause, 0.26 to 0.33: each try takes the mutex's
//   word from the holder's core, and the mutex changes hands often;
// - pauses doubling from one, 0.5 to 0.6: fewer tries, but still a quick
//   string of them each time the holder changes;
// - pauses from 32 doubling to 64, 0.96 to 1.03: the holder makes a run of
//   calls between two tries of the waiter, the mutex changes hands seldom.
// A waiter then waits a little longer for a mutex given back at once, still
// well under a sleep and a wake-up.
constexpr int SPIN_TRIES = 30;
constexpr int SPIN_FIRST_PAUSES = 32;
constexpr int SPIN_MAX_PAUSES = 64;

inline void pauseSpin() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Tries a held mutex up to SPIN_TRIES times, pausing longer each time: the
// result of the first try that does not find it busy (0, EOWNERDEAD or an
// error), else EBUSY.
int spinLock(LocalMutex *m) {
    int pauses = SPIN_FIRST_PAUSES;
    for (int attempt = 0; attempt < SPIN_TRIES; ++attempt) {
        for (int p = 0; p < pauses; ++p) pauseSpin();
        if (pauses < SPIN_MAX_PAUSES) pauses *= 2;
        int rc = pthread_mutex_trylock(&m->mutex);
        if (rc != EBUSY) return rc;
    }
    return EBUSY;
}

} // namespace

int lockLocal(LocalMutex *m, uint32_t timeoutMs) {
    // A free mutex is taken without reading the clock for a deadline.
    int rc = pthread_mutex_trylock(&m->mutex);
    if (rc == EBUSY) {
        if (timeoutMs == 0) return ETIMEDOUT;
        rc = spinLock(m);
    }
    if (rc == EBUSY) {
#if defined(KV_MUTEX_WAIT_VISIBLE_TO_TSAN)
        timespec deadline = deadlineAfter(CLOCK_REALTIME, timeoutMs);
        rc = pthread_mutex_timedlock(&m->mutex, &deadline);
#else
        // The monotonic clock: setting the system time neither stretches nor
        // cuts the wait.
        timespec deadline = deadlineAfter(CLOCK_MONOTONIC, timeoutMs);
        rc = pthread_mutex_clocklock(&m->mutex, CLOCK_MONOTONIC, &deadline);
#endif
    }
    // Without this the mutex would become unusable for good on unlock.
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&m->mutex);
    return rc;
}

void forkPrepareRegistry() { pthread_mutex_lock(&registryLock); }

void forkParentRegistry() { pthread_mutex_unlock(&registryLock); }

// The child has one thread, the one that forked, which held none of these
// mutexes (no exported call forks): every one is free in the child, and its
// memory is made a fresh mutex again.
void forkChildRegistry() {
    for (LocalMutex *m = registry.load(std::memory_order_relaxed); m != nullptr; m = m->next) {
        initLocalMutex(&m->mutex);
        m->holder.store(nullptr, std::memory_order_relaxed);
    }
    pthread_mutex_init(&registryLock, nullptr);
}

void forkPrepareStateLocks() {
    for (pthread_mutex_t &lock : stateLocks) pthread_mutex_lock(&lock);
}

void forkParentStateLocks() {
    for (pthread_mutex_t &lock : stateLocks) pthread_mutex_unlock(&lock);
}

void forkChildStateLocks() {
    for (pthread_mutex_t &lock : stateLocks) pthread_mutex_init(&lock, nullptr);
}

void forkChildProcessId() { processId.store(0, std::memory_order_relaxed); }

void platLockState(PlatStateLock lock) {
    ensureForkHandlers();
    pthread_mutex_lock(&stateLocks[lock]);
}

void platUnlockState(PlatStateLock lock) { pthread_mutex_unlock(&stateLocks[lock]); }

int platInitSecurityDescriptor(void **descriptor) {
    if (descriptor == nullptr || platFaultHit(PLAT_FAULT_SECURITY)) return -1;
    *descriptor = &everyoneDescriptor;
    return 0;
}

PlatMutex platCreateMutex(const QDMsecurityAttrs *attrs, const char *name) {
    (void)attrs; // the POSIX objects are open to everyone by construction
    if (name == nullptr || platFaultHit(PLAT_FAULT_MUTEX_CREATE)) return nullptr;
    ensureForkHandlers();
    // Every exported call names a private mutex: the first letter settles
    // most names without a call.
    if (name[0] == PLAT_GLOBAL_PREFIX[0] &&
        std::strncmp(name, PLAT_GLOBAL_PREFIX, sizeof PLAT_GLOBAL_PREFIX - 1) == 0)
        return createGlobal(name);
    return findOrCreateLocal(name);
}

bool platMutexLasts(PlatMutex mutex) {
    return mutex != nullptr && *static_cast<int *>(mutex) == LOCAL_MUTEX;
}

// The registry entry is the handle, and it lasts: nothing to look up.  The
// fork handlers are in place, registered when the handle was first made.
PlatMutex platReopenMutex(const QDMsecurityAttrs *attrs, PlatMutex kept) {
    (void)attrs; // the POSIX objects are open to everyone by construction
    if (kept == nullptr || platFaultHit(PLAT_FAULT_MUTEX_CREATE)) return nullptr;
    return kept;
}

PlatWait platWaitMutex(PlatMutex mutex, uint32_t timeoutMs) {
    if (mutex == nullptr || platFaultHit(PLAT_FAULT_MUTEX_WAIT)) return PLAT_WAIT_FAILED;
    if (*static_cast<int *>(mutex) == GLOBAL_LOCK)
        return waitGlobal(static_cast<GlobalLock *>(mutex), timeoutMs);
    switch (lockLocal(static_cast<LocalMutex *>(mutex), timeoutMs)) {
    case 0:
        return PLAT_WAIT_ACQUIRED;
    case ETIMEDOUT:
        return PLAT_WAIT_TIMEOUT;
    case EOWNERDEAD:
        return PLAT_WAIT_ABANDONED;
    default:
        return PLAT_WAIT_FAILED;
    }
}

void platReleaseMutex(PlatMutex mutex) {
    if (mutex == nullptr) return;
    if (*static_cast<int *>(mutex) == GLOBAL_LOCK)
        releaseGlobal(static_cast<GlobalLock *>(mutex));
    else
        pthread_mutex_unlock(&static_cast<LocalMutex *>(mutex)->mutex);
}

void platCloseMutex(PlatMutex mutex) {
    if (mutex != nullptr && *static_cast<int *>(mutex) == GLOBAL_LOCK)
        closeGlobal(static_cast<GlobalLock *>(mutex));
}

// getpid() is a system call, and every exported call names its lock with the
// process id, so the id is kept once read; a forked child forgets it.  It is
// kept only when the fork handlers are in place to do that.
uint32_t platProcessId() {
    uint32_t pid = processId.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<uint32_t>(getpid());
        if (ensureForkHandlers()) processId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}
