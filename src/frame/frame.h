// The call frame that every exported function runs in.
//
//   1. take the API lock of class 1 (on failure return 133 at once: nothing
//      else happens and nothing is given back);
//   2. do the work, which yields the function's own status;
//   3. a raised memory-failure flag makes the status 0xC8001007, whatever
//      the work yielded;
//   4. give the lock back (which clears the flag, hence step 3 first);
//   5. return the status.
//
// Thread cancellation is off for the whole frame (see platform/cancel.h), so
// a thread cancelled meanwhile finishes the call and is cancelled after it.
//
// Exports write `return QDMcallFrame([&] { ...; return status; });` so no
// export can skip or reorder a step.  The work must not throw.
#pragma once

#include "frame/alloc.h"
#include "frame/lock.h"
#include "frame/status.h"
#include "platform/cancel.h"

#include <cstdint>

template <class Work> uint32_t QDMcallFrame(Work &&work) noexcept {
    PlatCancelState cancel = platHoldCancel();
    uint32_t status = QDM_STATUS_LOCK_TIMEOUT;
    if (QDMacquireApiLock(QDM_LOCK_CLASS_API) == QDM_STATUS_OK) {
        status = work();
        if (qdmMemFailure.load(std::memory_order_relaxed) != 0) status = QDM_STATUS_NO_MEMORY;
        QDMreleaseApiLock(QDM_LOCK_CLASS_API);
    }
    platRestoreCancel(cancel);
    return status;
}
