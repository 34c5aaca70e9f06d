// Walking a CursorList from head to tail, the one way every list of the
// profile component is read.
#pragma once

#include "diag/collector.h"
#include "diag/messages.h"
#include "profile/cursor_list.h"
#include "profile/fail.h"

#include <cstdint>

// Calls fn(element) for each element in list order (an empty list: never).
// fn returns 0 to go on, or a status that ends the walk and is returned.
// Returns 0 after the last element, or 11 (recorded) when there is no list
// or it fails.  fn must not move the cursor of this same list.
template <class Fn> uint32_t profileWalk(ErrCollector *collector, CursorList *list, Fn &&fn) {
    if (cursorListRewind(collector, list) != 0)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    for (;;) {
        void *element = nullptr;
        int32_t rc = cursorListCurrent(collector, list, &element);
        if (rc == 0) {
            uint32_t status = fn(element);
            if (status != 0) return status;
        } else if (rc != CURSOR_LIST_EMPTY) {
            return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
        }
        if (cursorListAdvance(collector, list) != 0) return 0;
    }
}
