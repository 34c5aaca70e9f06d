// Named system mutexes, as the call frame and the error report use them.
//
// A mutex is created, or opened when it exists, by name; a name that begins
// with "Global\" is shared by every process of every user on the machine,
// any other name is private to the calling process.  Waits are bounded.  A
// mutex whose owner ended while holding it is reported as abandoned, and the
// waiter then owns it.
//
// A mutex belongs to the thread that waited for it, not to a handle.  Its
// owner's waits pass at once, through the same handle or any other of the
// name, and each wants its own release, through any of the name's handles;
// only the last frees the mutex for other threads and processes.  Closing a
// handle gives nothing back.
//
// Every lock here stays usable in a child process forked while another
// thread held it: the holder does not exist in the child, so there the lock
// is free (POSIX; Windows has no fork).
#pragma once

#include <cstddef>
#include <cstdint>

// A mutex name: at most 260 characters and a terminating zero.
constexpr size_t PLAT_MUTEX_NAME_SIZE = 261;
// The prefix of machine-wide names.
constexpr char PLAT_GLOBAL_PREFIX[] = "Global\\";

// Security attributes handed to mutex creation.  Its layout matches the
// Windows SECURITY_ATTRIBUTES record (length, descriptor, inherit flag).
struct QDMsecurityAttrs {
    uint32_t length;
    void *descriptor;
    int32_t inheritHandle;
};

using PlatMutex = void *; // opaque handle; null means none

enum PlatWait {
    PLAT_WAIT_ACQUIRED,
    PLAT_WAIT_TIMEOUT,
    PLAT_WAIT_ABANDONED, // the previous owner ended holding it; we own it now
    PLAT_WAIT_FAILED
};

// The process-wide descriptor that lets every account open and wait on a
// mutex (a null access list).  Callers on several threads never see it
// half-made: on Windows it is built once, under a lock, and kept; on POSIX it
// is a constant.  Returns 0, or -1 when it cannot be built.
int platInitSecurityDescriptor(void **descriptor);

// Creates the named mutex, or opens it when it exists, not owned.  Returns
// null when it cannot be created.
PlatMutex platCreateMutex(const QDMsecurityAttrs *attrs, const char *name);

// True when the handle lasts: it stays valid and reaches the same mutex for
// the life of the process, and closing it does nothing (POSIX process-private
// names; never on Windows, whose handles are closed for real).  A caller may
// keep such a handle and open the mutex again with platReopenMutex instead
// of by name.
bool platMutexLasts(PlatMutex mutex);

// Opens again the mutex of a handle that platMutexLasts accepted: what
// platCreateMutex gives for the same name (null when creation fails), without
// looking the name up.
PlatMutex platReopenMutex(const QDMsecurityAttrs *attrs, PlatMutex kept);

// Waits at most timeoutMs milliseconds (0: just tries), measured on a clock
// that a change of the system time does not move.
PlatWait platWaitMutex(PlatMutex mutex, uint32_t timeoutMs);

// Gives back one wait of a mutex that the calling thread owns.
void platReleaseMutex(PlatMutex mutex);

// Closes the handle; it does not give the mutex back.
void platCloseMutex(PlatMutex mutex);

// The calling process's id.
uint32_t platProcessId();

// The file behind a machine-wide name ("Global\\" and name) where the system
// keeps one, written into out (zero-terminated).  Returns 0, or -1 when the
// system has no such file (Windows) or it does not fit.
int platGlobalLockPath(const char *name, char *out, size_t size);

// --- locks for the library's own state --------------------------------------

// A lock for a few words of process state, held only while they are copied
// or changed: never across a wait, a system call that can block, or a call
// out of the library.  A fork waits until no thread holds it, so a child sees
// the state whole and finds the lock free.
enum PlatStateLock {
    PLAT_STATE_SINK, // the error sink's stream and path
    PLAT_STATE_COUNT
};

void platLockState(PlatStateLock lock);
void platUnlockState(PlatStateLock lock);

// Holds the lock for the guard's scope.
class PlatStateGuard {
  public:
    explicit PlatStateGuard(PlatStateLock lock) : lock_(lock) { platLockState(lock_); }
    ~PlatStateGuard() { platUnlockState(lock_); }
    PlatStateGuard(const PlatStateGuard &) = delete;
    PlatStateGuard &operator=(const PlatStateGuard &) = delete;

  private:
    PlatStateLock lock_;
};
