// Thread cancellation kept out of an exported call.
//
// A POSIX host may cancel one of its threads while that thread is inside an
// exported call.  Cancellation unwinds the thread's stack, which cannot pass
// the call frame (it returns a status and lets nothing escape), and the call
// would be cut half-way with its locks held.  So the frame switches
// cancellation off for the call's duration and then restores the caller's
// own setting: a cancel requested meanwhile stays pending and takes effect
// at the caller's next cancellation point after the call.  Windows has no
// thread cancellation; there both are no-ops.
#pragma once

// The caller's setting, to be given back to platRestoreCancel.
using PlatCancelState = int;

// Switches cancellation off for the calling thread; returns the former
// setting.  Never fails and is not itself a cancellation point.
PlatCancelState platHoldCancel();

// Restores the setting that platHoldCancel returned, on the same thread.
void platRestoreCancel(PlatCancelState former);
