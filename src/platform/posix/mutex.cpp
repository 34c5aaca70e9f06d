// Named mutexes on POSIX: the entry points of platform/mutex.h, over the
// process-private names (local_mutex.h) and the machine-wide ones
// (global_lock.h); the locks for the library's own state; the process id;
// and what a fork does to each (fork.h registers it).
//
// Nothing here is freed when the library is unloaded or the process exits:
// a host thread may still be inside a call at that moment.
#include "platform/fault.h"
#include "platform/posix/fork.h"
#include "platform/posix/global_lock.h"
#include "platform/posix/local_mutex.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t EVERYONE_MODE = 0666;

// The POSIX objects are open to everyone by construction; the descriptor is
// a constant that nobody writes, so it needs no lock.
struct DescriptorRecord {
    mode_t mode;
};
DescriptorRecord everyoneDescriptor{EVERYONE_MODE};

pthread_mutex_t stateLocks[PLAT_STATE_COUNT] = {PTHREAD_MUTEX_INITIALIZER};

// std::atomic so that a forked child may forget it while nobody reads it.
std::atomic<uint32_t> processId{0};

// What a fork does to the library's locks: the locks held only for a few
// instructions (the registry's, the open machine-wide handles' list, the
// state locks) are taken before it, so the child sees their state whole,
// and given back after it in the parent.  In the child, whose only thread is
// the one that forked, every lock is made free again, the child drops its
// copies of the machine-wide lock files, and it forgets its parent's id.
// The security descriptor is a constant, not a lock.
void prepareFork() {
    forkPrepareRegistry();
    forkPrepareGlobals();
    for (pthread_mutex_t &lock : stateLocks) pthread_mutex_lock(&lock);
}

void parentAfterFork() {
    for (pthread_mutex_t &lock : stateLocks) pthread_mutex_unlock(&lock);
    forkParentGlobals();
    forkParentRegistry();
}

void childAfterFork() {
    for (pthread_mutex_t &lock : stateLocks) pthread_mutex_init(&lock, nullptr);
    forkChildGlobals();
    forkChildRegistry();
    processId.store(0, std::memory_order_relaxed);
}

constexpr ForkSteps FORK_STEPS{prepareFork, parentAfterFork, childAfterFork};

bool isGlobal(const void *mutex) { return *static_cast<const int *>(mutex) == GLOBAL_LOCK; }

} // namespace

void platLockState(PlatStateLock lock) {
    ensureForkHandlers(FORK_STEPS);
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
    ensureForkHandlers(FORK_STEPS);
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
    if (isGlobal(mutex)) return waitGlobal(static_cast<GlobalLock *>(mutex), timeoutMs);
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
    if (isGlobal(mutex))
        releaseGlobal(static_cast<GlobalLock *>(mutex));
    else
        unlockLocal(static_cast<LocalMutex *>(mutex));
}

void platCloseMutex(PlatMutex mutex) {
    if (mutex != nullptr && isGlobal(mutex)) closeGlobal(static_cast<GlobalLock *>(mutex));
}

// getpid() is a system call, and every exported call names its lock with the
// process id, so the id is kept once read; a forked child forgets it.  It is
// kept only when the fork handlers are in place to do that.
uint32_t platProcessId() {
    uint32_t pid = processId.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = static_cast<uint32_t>(getpid());
        if (ensureForkHandlers(FORK_STEPS)) processId.store(pid, std::memory_order_relaxed);
    }
    return pid;
}
