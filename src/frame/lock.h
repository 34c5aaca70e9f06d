// API locks: one named system mutex per lock class, its name carrying the
// process id, so each class admits one thread of a process at a time and two
// processes never wait for each other.
#pragma once

#include "platform/mutex.h"

#include <cstdint>

using QDMmutexHandle = PlatMutex;

constexpr int QDM_LOCK_CLASS_MIN = 1;
constexpr int QDM_LOCK_CLASS_MAX = 9;
constexpr int QDM_LOCK_CLASS_API = 1;                     // every exported function
constexpr int QDM_MUTEX_NAME_SIZE = PLAT_MUTEX_NAME_SIZE; // at most 260 characters and a zero

constexpr int32_t QDM_API_TIMEOUT_MS = 15000;   // classes 1, 8, 9
constexpr int32_t QDM_ADMIN_TIMEOUT_MS = 20000; // class 2

// Results of QDMlockNamedMutex.
constexpr int32_t QDM_LOCK_ACQUIRED = 0;
constexpr int32_t QDM_LOCK_BAD_ARGUMENT = 1;
constexpr int32_t QDM_LOCK_TIMEOUT = 2;
constexpr int32_t QDM_LOCK_CANNOT_CREATE = 3;
constexpr int32_t QDM_LOCK_WAIT_FAILED = -1;

struct QDMapiLockEntry {
    const char *baseName; // null: the caller supplies it (classes 6 and 7)
    QDMmutexHandle slot;  // set exactly while a thread of this process holds the class
};

// Indexed by lock class; entry 0 is unused.  Each slot is written only by the
// thread that has just obtained its mutex, and read only by that owner when
// it gives the class back, so the mutex itself guards the slot.
extern QDMapiLockEntry apiLockTable[QDM_LOCK_CLASS_MAX + 1];

// Takes the API lock of the class (1, 2, 8 or 9) for the calling thread.
// Returns 0; 11 for a class the frame does not accept (nothing is created);
// 133 when the lock was not obtained.  Classes 1, 8 and 9 clear qdmMemFailure.
uint32_t QDMacquireApiLock(int32_t lockClass);

// Gives the API lock of the class back (classes 1, 8 and 9 clear
// qdmMemFailure first).  Only the holder may call it; other classes: nothing.
void QDMreleaseApiLock(int32_t lockClass);

// The primitive under the frame.  baseName must be null for classes with a
// base name in apiLockTable and given for classes 6 and 7.  Returns one of
// the QDM_LOCK_ results; on 0 the handle is in the class's slot.
int32_t QDMlockNamedMutex(int32_t lockClass, const char *baseName, int32_t timeoutMs);

// Empties the class's slot, then releases the mutex and closes its handle.
// An out-of-range class or an empty slot: nothing.
void QDMunlockNamedMutex(int32_t lockClass);

// Releases the mutex, then closes the handle; a null handle is ignored.
void QDMcloseMutex(QDMmutexHandle handle);

// Fills attrs: its own length, the process-wide null-access-list descriptor,
// an inheritable handle.  Returns 0, or -1 for a null record or a descriptor
// that cannot be built.
int32_t QDMinitMutexSecurity(QDMsecurityAttrs *attrs);
