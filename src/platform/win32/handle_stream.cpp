// Streams over Windows file handles (platform/win32/handle_stream.h).
#include "platform/win32/handle_stream.h"

#include <cstdint>
#include <fcntl.h>
#include <io.h>

FILE *platStreamOverHandle(HANDLE h, bool writable) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h),
                             (writable ? _O_RDWR : _O_RDONLY) | _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *stream = _fdopen(fd, writable ? "w+b" : "rb");
    if (stream == nullptr) _close(fd);
    return stream;
}
