// Checks of a path before a Windows open: the reparse points (symbolic
// links, junctions) along it, and the system's errors put as errno values.
#pragma once

#include "platform/open_reason.h"

#include <windows.h>

// True (with reason set) when a reparse point anywhere in the path belongs
// to someone other than the caller, the local system or the
// administrators: an update must then not follow it.  Each part is
// checked by its own path before the open, so a swap between the check
// and the open is not excluded here (the open's own identity checks and
// the rewrite's check that the name still is the opened file stand).
bool platUntrustedReparsePoint(const wchar_t *path, PlatOpenReason *reason);

// The errno value closest to a Windows error (EIO when none is close).
int platErrnoOf(DWORD error);

// The opened file's own path (links resolved, "\\?\" form) from
// GetFinalPathNameByHandleW, from the heap (std::free); null when the system
// cannot give it.
wchar_t *platFinalPath(HANDLE h);
