// Windows threads cannot be cancelled: nothing to keep out.
#include "platform/cancel.h"

PlatCancelState platHoldCancel() { return 0; }

void platRestoreCancel(PlatCancelState former) { (void)former; }
