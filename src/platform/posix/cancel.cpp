// Cancellation off for an exported call.  Only the state is switched: with
// deferred cancellation (the default) a pending cancel then waits for the
// caller's next cancellation point.  A caller that chose asynchronous
// cancellation may call no library but the few async-cancel-safe functions,
// so it is not provided for.
#include "platform/cancel.h"

#include <pthread.h>

PlatCancelState platHoldCancel() {
    int former = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &former);
    return former;
}

void platRestoreCancel(PlatCancelState former) {
    // A caller that had switched it off itself keeps it off: nothing to do.
    if (former != PTHREAD_CANCEL_DISABLE) pthread_setcancelstate(former, nullptr);
}
