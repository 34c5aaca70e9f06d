#include "profile/fail.h"

#include "diag/messages.h"

uint32_t profileFail(ErrCollector *collector, uint32_t status) {
    errCollectorAdd(collector, profileMessages, static_cast<int32_t>(status), ERR_SEVERITY_ERROR);
    return status;
}
