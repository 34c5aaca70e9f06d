// The redo copy's format and name (platform/redo_format.h).
#include "platform/redo_format.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

constexpr char MAGIC[] = "kvinit64-redo-1 "; // 16 characters
constexpr char REDO_INFIX[] = ".~redo.";

} // namespace

uint64_t platRedoChecksum(uint64_t hash, const char *bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) { // FNV-1a
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// MAGIC and four 16-digit hexadecimal numbers, each followed by one blank
// but the last, which a line feed ends.
void platRedoFormatHeader(char (&out)[PLAT_REDO_HEADER_BYTES], uint64_t id1, uint64_t id2,
                          uint64_t length, uint64_t checksum) {
    char text[PLAT_REDO_HEADER_BYTES + 1];
    std::snprintf(text, sizeof text,
                  "%s%016" PRIx64 " %016" PRIx64 " %016" PRIx64 " %016" PRIx64 "\n", MAGIC, id1,
                  id2, length, checksum);
    std::memcpy(out, text, sizeof out);
}

bool platRedoParseHeader(const char (&header)[PLAT_REDO_HEADER_BYTES], uint64_t id1, uint64_t id2,
                         uint64_t *length, uint64_t *checksum) {
    char text[PLAT_REDO_HEADER_BYTES + 1] = {};
    std::memcpy(text, header, sizeof header);
    uint64_t named1 = 0, named2 = 0;
    return std::memcmp(text, MAGIC, sizeof MAGIC - 1) == 0 &&
           std::sscanf(text + sizeof MAGIC - 1,
                       "%16" SCNx64 " %16" SCNx64 " %16" SCNx64 " %16" SCNx64, &named1, &named2,
                       length, checksum) == 4 &&
           text[PLAT_REDO_HEADER_BYTES - 1] == '\n' && named1 == id1 && named2 == id2;
}

bool platRedoFormatName(const char *name, uint64_t id1, uint64_t id2, char *out, size_t capacity) {
    int n = std::snprintf(out, capacity, "%s%s%" PRIx64 ".%" PRIx64, name, REDO_INFIX, id1, id2);
    if (n < 0 || static_cast<size_t>(n) >= capacity) {
        if (capacity > 0) out[0] = '\0';
        return false;
    }
    return true;
}
