// The capture hook for error-report boxes; compiled only into the testable
// build.
#include "platform/msgbox.h"

#ifdef KVINIT64_TESTABLE

#include <atomic>

namespace {
std::atomic<PlatMessageBoxHook> messageBoxHook{nullptr};
}

void platSetMessageBoxHook(PlatMessageBoxHook hook) { messageBoxHook.store(hook); }

void platShowMessageBox(const char *text, const char *title, uint32_t style) {
    PlatMessageBoxHook hook = messageBoxHook.load();
    if (hook != nullptr)
        hook(text, title, style);
    else
        platNativeMessageBox(text, title, style);
}

#endif // KVINIT64_TESTABLE
