#include "profile/lineio.h"

#include "diag/messages.h"
#include "platform/fault.h"

uint32_t defaultReadLine(char *buffer, uint32_t capacity, FILE *stream, uint64_t) {
    if (buffer == nullptr || capacity == 0) return PROFILE_STATUS_BAD_PARAMS;
    buffer[0] = '\0';
    if (stream == nullptr) return PROFILE_STATUS_END_OF_LIST;
    // Byte by byte rather than with fgets, so that a NUL byte inside the line
    // is seen: the line as text ends there, and the bytes after it would be
    // dropped without a trace by the next rewrite.
    uint32_t length = 0;
    bool holdsNul = false;
    while (length + 1 < capacity) {
        int c = std::getc(stream);
        if (c == EOF) break;
        holdsNul = holdsNul || c == '\0';
        buffer[length++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[length] = '\0';
    if (holdsNul) return PROFILE_STATUS_TAMPERED;
    return length == 0 ? PROFILE_STATUS_END_OF_LIST : 0;
}

uint32_t defaultWriteLine(const char *line, FILE *stream, uint64_t) {
    if (line == nullptr || stream == nullptr || platFaultHit(PLAT_FAULT_FILE_WRITE) ||
        std::fputs(line, stream) == EOF) {
        return PROFILE_STATUS_BAD_PARAMS;
    }
    return 0;
}
