// The parts of the POSIX named mutexes, shared by mutex.cpp (process-private
// names, the state locks, the entry points), global_lock.cpp (machine-wide
// names) and fork.cpp (what a fork does to each).  Not for use elsewhere.
#pragma once

#include "platform/mutex.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <time.h>

enum HandleKind { LOCAL_MUTEX = 1, GLOBAL_LOCK = 2 };

struct GlobalLock;

// A process-private mutex: robust (a thread that ends holding it leaves it
// "owner died") and recursive (its owner may take it again, as a Windows
// mutex lets its owner through).  Kept in the registry for the life of the
// process and never freed: a host thread may still be inside a call while
// the process exits or the library is unloaded.
struct LocalMutex {
    int kind; // LOCAL_MUTEX
    char name[PLAT_MUTEX_NAME_SIZE];
    pthread_mutex_t mutex;
    // For the process-local half of a machine-wide lock: the handle that
    // holds the machine-wide lock, so that a waiter who finds its owner dead
    // can give that lock back.  Set by the mutex's owner; cleared by it, or
    // by whoever closes that handle.
    std::atomic<GlobalLock *> holder;
    LocalMutex *next;
};

// The registry entry of the name (created when missing); null when it
// cannot be made.
LocalMutex *findOrCreateLocal(const char *name);

// Takes a mutex of the registry within timeoutMs: 0 (taken), EOWNERDEAD
// (taken; its owner ended holding it, and it is consistent again), ETIMEDOUT
// or another error number.  A mutex held by another thread is first tried
// again for some tens of microseconds before the thread sleeps; the time-out
// counts from the sleep.
int lockLocal(LocalMutex *m, uint32_t timeoutMs);

// The moment `ms` milliseconds from now on `clock`, for the timed waits.
timespec deadlineAfter(clockid_t clock, uint32_t ms);

// A machine-wide lock handle (global_lock.cpp).
GlobalLock *createGlobal(const char *name);
PlatWait waitGlobal(GlobalLock *g, uint32_t timeoutMs);
void releaseGlobal(GlobalLock *g);
void closeGlobal(GlobalLock *g);

// Registers the fork handlers once per process (fork.cpp).  Every entry
// point that can take a lock calls it first; after the first call it costs
// one load.  Returns true when the handlers are in place.
bool ensureForkHandlers();

// What each part does around a fork: take its locks before (so the child
// sees its state whole), give them back in the parent, and in the child
// make them free again, the threads that held them not being there.
void forkPrepareRegistry();
void forkParentRegistry();
void forkChildRegistry();
void forkPrepareGlobals();
void forkParentGlobals();
void forkChildGlobals();
void forkPrepareStateLocks();
void forkParentStateLocks();
void forkChildStateLocks();
void forkChildProcessId();
