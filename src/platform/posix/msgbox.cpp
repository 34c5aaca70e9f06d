// No owner-less message box exists for a Linux process, so the box becomes
// standard error: the title on a line of its own, then the text, closed by a
// line break when the text has none, so the next output starts on a new
// line as it would after a dismissed box.  The style has no meaning here.
// Standard error may be a pipe whose reader has gone: that must not raise
// SIGPIPE and end the host.
#include "platform/msgbox.h"

#include "platform/file.h"

#include <cstdio>
#include <cstring>

void platNativeMessageBox(const char *text, const char *title, uint32_t style) {
    (void)style;
    if (text == nullptr) text = "";
    int quiet = platBeginQuietPipe();
    std::fputs(title != nullptr ? title : "", stderr);
    std::fputc('\n', stderr);
    std::fputs(text, stderr);
    size_t n = std::strlen(text);
    if (n == 0 || text[n - 1] != '\n') std::fputc('\n', stderr);
    std::fflush(stderr);
    platEndQuietPipe(quiet);
}
