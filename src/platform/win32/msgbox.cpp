// A message box with no owner window; returns when the user dismisses it.
#include "platform/msgbox.h"

#include <windows.h>

void platNativeMessageBox(const char *text, const char *title, uint32_t style) {
    MessageBoxA(nullptr, text, title, style);
}
