#include "profile/lineio.h"

#include "diag/messages.h"
#include "platform/fault.h"

#include <cstring>

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

uint32_t profileWriteText(const char *line, size_t length, FILE *stream) {
    if (line == nullptr || stream == nullptr || platFaultHit(PLAT_FAULT_FILE_WRITE) ||
        std::fwrite(line, 1, length, stream) != length) {
        return PROFILE_STATUS_BAD_PARAMS;
    }
    return 0;
}

uint64_t profileStreamRemaining(FILE *stream) {
    if (stream == nullptr) return 0;
    // Only a stream that can tell its position is asked to seek; one whose
    // seeks then fail is left where it was.  long: a file beyond 2 GiB on
    // Windows answers "unknown", which costs a larger file only speed.
    long at = std::ftell(stream);
    if (at < 0) return 0;
    if (std::fseek(stream, 0, SEEK_END) != 0) return 0;
    long end = std::ftell(stream);
    if (std::fseek(stream, at, SEEK_SET) != 0) {
        // Unreachable for a file whose end was found; the load then sees
        // the stream's failure as any failed read.
        return 0;
    }
    return end > at ? static_cast<uint64_t>(end - at) : 0;
}

void profileBlockReaderInit(ProfileBlockReader *reader, char *block, uint32_t size) {
    reader->block = block;
    reader->size = size;
    reader->start = 0;
    reader->end = 0;
    reader->drained = 0;
}

// Chosen for speed: one fread per 32 KiB and memchr over each line instead of
// a getc per byte (the byte loop was the larger part of a load).
uint32_t profileBlockReadLine(ProfileBlockReader *reader, FILE *stream, char *buffer,
                              uint32_t capacity) {
    if (buffer == nullptr || capacity == 0) return PROFILE_STATUS_BAD_PARAMS;
    buffer[0] = '\0';
    if (reader == nullptr || stream == nullptr) return PROFILE_STATUS_END_OF_LIST;
    const size_t limit = capacity - 1;
    size_t length = 0;
    bool holdsNul = false;
    while (length < limit) {
        if (reader->start >= reader->end) {
            if (reader->drained != 0) break;
            size_t got = std::fread(reader->block, 1, reader->size, stream);
            reader->start = 0;
            reader->end = static_cast<uint32_t>(got);
            // fread comes back short only at the end of the stream or on a
            // failure; either way nothing more is read from it.
            if (got < reader->size) reader->drained = 1;
            if (got == 0) break;
        }
        const char *start = reader->block + reader->start;
        size_t available = reader->end - reader->start;
        size_t want = available < limit - length ? available : limit - length;
        const void *feed = std::memchr(start, '\n', want);
        size_t take = feed != nullptr
                          ? static_cast<size_t>(static_cast<const char *>(feed) - start) + 1
                          : want;
        holdsNul = holdsNul || std::memchr(start, '\0', take) != nullptr;
        std::memcpy(buffer + length, start, take);
        length += take;
        reader->start += static_cast<uint32_t>(take);
        if (feed != nullptr) break;
    }
    buffer[length] = '\0';
    if (holdsNul) return PROFILE_STATUS_TAMPERED;
    return length == 0 ? PROFILE_STATUS_END_OF_LIST : 0;
}

bool profileBlockPeekLine(ProfileBlockReader *reader, FILE *stream, uint32_t capacity,
                          const char **line, size_t *length) {
    if (reader == nullptr || stream == nullptr || capacity == 0) return false;
    const size_t limit = capacity - 1;
    for (;;) {
        const char *start = reader->block + reader->start;
        size_t available = reader->end - reader->start;
        size_t want = available < limit ? available : limit;
        const void *feed = std::memchr(start, '\n', want);
        if (feed != nullptr) {
            *line = start;
            *length = static_cast<size_t>(static_cast<const char *>(feed) - start) + 1;
            return true;
        }
        // No whole line at hand: too long for one read, or cut by the end
        // of the stream or of the block.  Only the last is mended here.
        if (available >= limit || reader->drained != 0) return false;
        // The unfinished line moves to the front and the block is topped
        // up behind it; what profileBlockReadLine hands out is unchanged.
        std::memmove(reader->block, start, available);
        size_t room = reader->size - available;
        size_t got = std::fread(reader->block + available, 1, room, stream);
        reader->start = 0;
        reader->end = static_cast<uint32_t>(available + got);
        if (got < room) reader->drained = 1;
        if (got == 0) return false;
    }
}

void profileBlockPeekBytes(const ProfileBlockReader *reader, const char **bytes,
                           size_t *available) {
    *bytes = reader->block + reader->start;
    *available = reader->end - reader->start;
}

void profileBlockSkipLine(ProfileBlockReader *reader, size_t length) {
    reader->start += static_cast<uint32_t>(length);
}
