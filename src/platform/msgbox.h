// The last-resort destination of an error report: a message box with no
// owner window, shown to whoever sits at the machine.
//
// Windows: MessageBoxA; the call returns when the user dismisses the box.
// POSIX: a process has no owner-less message box to show (there may be no
// display at all, and no toolkit is part of the library), so the box's title
// is written to standard error on one line and its text after it.
#pragma once

#include <cstdint>

// The system's own box, implemented per platform.
void platNativeMessageBox(const char *text, const char *title, uint32_t style);

#ifdef KVINIT64_TESTABLE

// Shows the box (or, with a hook installed, hands it to the hook instead).
void platShowMessageBox(const char *text, const char *title, uint32_t style);

// Test seam of the testable build: while a hook is installed, every box goes
// to it and nothing is shown.  Null removes the hook.
using PlatMessageBoxHook = void (*)(const char *text, const char *title, uint32_t style);
void platSetMessageBoxHook(PlatMessageBoxHook hook);

#else

// The shipped build has no hook: the box is the system's own.
inline void platShowMessageBox(const char *text, const char *title, uint32_t style) {
    platNativeMessageBox(text, title, style);
}

#endif
