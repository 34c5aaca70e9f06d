// The registry of process-private named mutexes (local_mutex.h).
//
// The registry's entries come from a static table, so unloading the library
// leaves nothing behind; only a process that uses more names than the table
// holds (each fork generation adds the few names that carry its process id)
// takes the rest from the heap and keeps them.
#include "platform/posix/local_mutex.h"

#include "platform/posix/deadline.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

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

constexpr int LOCAL_TABLE_SIZE = 64; // names before the registry uses the heap

// Entries are only ever added, at the head, complete before they are
// published, so a lookup walks the list without the lock; the lock only
// serialises additions.
pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<LocalMutex *> registry{nullptr};
LocalMutex localTable[LOCAL_TABLE_SIZE];
int localTableUsed = 0; // under registryLock

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

int lockHeldLocal(LocalMutex *m, uint32_t timeoutMs) {
    if (timeoutMs == 0) return ETIMEDOUT;
    int rc = spinLock(m);
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
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&m->mutex);
    return rc;
}

void forkPrepareRegistry() { pthread_mutex_lock(&registryLock); }

void forkParentRegistry() { pthread_mutex_unlock(&registryLock); }

// The memory of each mutex is made a fresh mutex again.
void forkChildRegistry() {
    for (LocalMutex *m = registry.load(std::memory_order_relaxed); m != nullptr; m = m->next)
        initLocalMutex(&m->mutex);
    pthread_mutex_init(&registryLock, nullptr);
}
