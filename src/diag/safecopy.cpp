#include "diag/safecopy.h"

#include <cstring>

size_t QDMboundedLength(const char *text, size_t limit) {
    if (text == nullptr) return 0;
    const void *end = std::memchr(text, '\0', limit);
    return end != nullptr ? static_cast<size_t>(static_cast<const char *>(end) - text) : limit;
}

int32_t QDMsafeCopy(char *destination, const char *source, size_t size) {
    if (destination == nullptr || source == nullptr) return QDM_COPY_BAD_ARGUMENT;
    if (size == 0) return QDM_COPY_WHOLE;
    std::memset(destination, 0, size);
    std::strncpy(destination, source, size);
    if (destination[size - 1] == '\0') return QDM_COPY_WHOLE;
    destination[size - 1] = '\0';
    return QDM_COPY_CUT;
}
