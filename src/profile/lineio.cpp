#include "profile/lineio.h"

#include "diag/messages.h"
#include "platform/fault.h"

#include <climits>

uint32_t defaultReadLine(char *buffer, uint32_t capacity, FILE *stream, uint64_t) {
    if (buffer == nullptr || capacity == 0) return PROFILE_STATUS_BAD_PARAMS;
    buffer[0] = '\0';
    if (stream == nullptr) return PROFILE_STATUS_END_OF_LIST;
    int size = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
    if (std::fgets(buffer, size, stream) == nullptr) {
        buffer[0] = '\0';
        return PROFILE_STATUS_END_OF_LIST;
    }
    return 0;
}

uint32_t defaultWriteLine(const char *line, FILE *stream, uint64_t) {
    if (line == nullptr || stream == nullptr || platFaultHit(PLAT_FAULT_FILE_WRITE) ||
        std::fputs(line, stream) == EOF) {
        return PROFILE_STATUS_BAD_PARAMS;
    }
    return 0;
}
