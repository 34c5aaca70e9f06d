// Registering the fork handlers of the library's locks.
//
// fork() copies only the calling thread.  A lock that another thread held at
// that moment stays held in the child for ever, its holder not being there,
// and the child's first exported call would wait on it.  So each lock that
// an exported call or a report can take is either not a lock at all, or
// taken before the fork (the locks held only for a few instructions, so a
// fork waits a moment at most) and then given back in the parent and made
// free in the child.  The named mutexes themselves cannot be taken before a
// fork (a call may hold one for long); in the child they are made free
// again.  mutex.cpp says what each step does to each lock.
//
// The handlers are registered at the first call, not at load (loading runs
// nothing of the library's own), through pthread_once, which glibc restarts
// in a child forked while another thread was running it.  Such a restart can
// register them a second time in that child, so they count their depth and
// act once per fork.  glibc runs a fork's handlers under its own lock, one
// fork at a time, so the count needs no lock of its own.
#include "platform/posix/fork.h"

#include <atomic>
#include <pthread.h>

namespace {

pthread_once_t registration = PTHREAD_ONCE_INIT;
std::atomic<bool> registered{false};
std::atomic<bool> handlersInPlace{false};
// Written before the registration, read by the handlers.
std::atomic<const ForkSteps *> registeredSteps{nullptr};
int forkDepth = 0;

void prepare() {
    if (forkDepth++ == 0) registeredSteps.load(std::memory_order_relaxed)->prepare();
}

void parent() {
    if (--forkDepth == 0) registeredSteps.load(std::memory_order_relaxed)->parent();
}

void child() {
    if (--forkDepth == 0) registeredSteps.load(std::memory_order_relaxed)->child();
}

void registerHandlers() {
    handlersInPlace.store(pthread_atfork(prepare, parent, child) == 0, std::memory_order_relaxed);
    registered.store(true, std::memory_order_release);
}

} // namespace

bool ensureForkHandlers(const ForkSteps &steps) {
    if (!registered.load(std::memory_order_acquire)) {
        registeredSteps.store(&steps, std::memory_order_relaxed);
        pthread_once(&registration, registerHandlers);
    }
    return handlersInPlace.load(std::memory_order_relaxed);
}
