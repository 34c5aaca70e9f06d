// The process-private named mutexes on POSIX: one robust, recursive pthread
// mutex per name, kept in a registry for the life of the process, so the
// same name always reaches the same mutex, as a Windows named mutex does
// while a handle to it is open.  A thread that ends while holding one leaves
// it "owner died": the next waiter gets EOWNERDEAD, and owns it, consistent
// again.  Its owner may take it again (each take wants its own unlock), as a
// Windows mutex lets its owner through.
//
// The machine-wide locks (global_lock.h) build their process-local half on
// this registry.  Not for use outside src/platform/posix.
#pragma once

#include "platform/mutex.h"
#include "platform/posix/mutex_handle.h"

#include <cerrno>
#include <cstdint>
#include <pthread.h>

// An entry of the registry, and the handle of its name.  Never freed: a host
// thread may still be inside a call while the process exits or the library
// is unloaded.
struct LocalMutex {
    int kind; // LOCAL_MUTEX
    char name[PLAT_MUTEX_NAME_SIZE];
    pthread_mutex_t mutex;
    LocalMutex *next;
};

// The registry entry of the name (created when missing); null when it
// cannot be made.
LocalMutex *findOrCreateLocal(const char *name);

// Waits for a mutex that another thread holds (lockLocal's slow path).
int lockHeldLocal(LocalMutex *m, uint32_t timeoutMs);

// Takes a mutex of the registry within timeoutMs: 0 (taken), EOWNERDEAD
// (taken; its owner ended holding it, and it is consistent again), ETIMEDOUT
// or another error number.  A mutex held by another thread is first tried
// again for some tens of microseconds before the thread sleeps; the time-out
// counts from the sleep.  A free mutex, or one the caller holds, costs one
// try: every exported call comes through here.
inline int lockLocal(LocalMutex *m, uint32_t timeoutMs) {
    int rc = pthread_mutex_trylock(&m->mutex);
    if (rc == EBUSY) return lockHeldLocal(m, timeoutMs);
    // Without this the mutex would become unusable for good on unlock.
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&m->mutex);
    return rc;
}

// Gives back one take of a mutex that the calling thread holds.
inline void unlockLocal(LocalMutex *m) { pthread_mutex_unlock(&m->mutex); }

// Around a fork: the registry's lock is taken before (so the child sees the
// list whole) and given back in the parent; in the child, whose only thread
// held none of the mutexes (no exported call forks), every mutex is made
// free again.
void forkPrepareRegistry();
void forkParentRegistry();
void forkChildRegistry();
