// The error collector: composes a text per recorded failure and keeps up to
// fifteen distinct ones.
#include "diag/collector.h"

#include "frame/alloc.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr char NO_TEMPLATE_TEXT[] = "Error encountered.";
constexpr char NO_CATALOGUE_PREFIX[] = "ERR";

// The 8-character word that opens every text; unknown severities read as errors.
const char *severityWord(int32_t severity) {
    switch (severity) {
    case ERR_SEVERITY_MESSAGE:
        return "Message ";
    case ERR_SEVERITY_WARNING:
        return "Warning ";
    case ERR_SEVERITY_FATAL:
        return "Fatal   ";
    default:
        return "Error   ";
    }
}

// The highest message number N of a catalogue, read from its entry 1 as a
// decimal number; 0 (no number has a template) when entry 1 is absent or
// holds no digits.  Digits past what fits are ignored rather than wrapping.
int32_t catalogueHighest(MessageCatalogue catalogue) {
    const char *text = catalogue[1];
    if (text == nullptr) return 0;
    int32_t n = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (n > 99999) return n;
        n = n * 10 + (*text - '0');
    }
    return n;
}

// The template of `code` in the catalogue, or null when its message number
// (code mod 100, truncating) has none.
const char *templateFor(MessageCatalogue catalogue, int32_t code) {
    if (catalogue == nullptr) return nullptr;
    int32_t number = code % 100;
    if (number < 2 || number > catalogueHighest(catalogue)) return nullptr;
    return catalogue[number];
}

// Appends text at buffer[length], keeping the whole within size-1 characters.
void appendBounded(char *buffer, size_t length, size_t size, const char *text) {
    size_t room = size - 1 - length;
    size_t n = std::strlen(text);
    if (n > room) n = room;
    std::memcpy(buffer + length, text, n);
    buffer[length + n] = '\0';
}

bool alreadyHeld(const ErrCollector *collector, const char *text) {
    for (int32_t i = 0; i < collector->count && i < ERR_COLLECTOR_SLOTS; ++i)
        if (collector->messages[i] != nullptr && std::strcmp(collector->messages[i], text) == 0)
            return true;
    return false;
}
} // namespace

int32_t errCollectorReset(ErrCollector *collector) {
    if (collector == nullptr) return -2;
    for (char *&slot : collector->messages) slot = nullptr;
    collector->highestSeverity = 0;
    collector->count = 0;
    return 0;
}

void errFormatHeader(MessageCatalogue catalogue, int32_t code, int32_t severity, char *buffer,
                     size_t size) {
    if (buffer == nullptr || size == 0) return;
    std::memset(buffer, 0, size);
    appendBounded(buffer, 0, size, severityWord(severity));
    size_t length = std::strlen(buffer);
    // snprintf stops at size-1 characters and always ends with a zero byte.
    if (catalogue != nullptr) {
        const char *prefix = catalogue[0] != nullptr ? catalogue[0] : "";
        std::snprintf(buffer + length, size - length, "(%s%04d): ", prefix, static_cast<int>(code));
    } else {
        std::snprintf(buffer + length, size - length, "(%s%04d): ", NO_CATALOGUE_PREFIX,
                      static_cast<int>(code));
    }
}

void errCollectorAdd(ErrCollector *collector, MessageCatalogue catalogue, int32_t code,
                     int32_t severity, ...) {
    if (collector == nullptr) return;

    // Composed per call, so collectors in different threads never share it.
    char text[ERR_COMPOSE_SIZE];
    errFormatHeader(catalogue, code, severity, text, sizeof text);
    size_t headerLength = std::strlen(text);
    if (const char *format = templateFor(catalogue, code); format != nullptr) {
        va_list args;
        va_start(args, severity);
        int written = std::vsnprintf(text + headerLength, sizeof text - headerLength, format, args);
        va_end(args);
        // A conversion that fails leaves no usable message: fall back to the
        // text of a code without template rather than keep unknown bytes.
        text[sizeof text - 1] = '\0';
        if (written < 0) appendBounded(text, headerLength, sizeof text, NO_TEMPLATE_TEXT);
    } else {
        appendBounded(text, headerLength, sizeof text, NO_TEMPLATE_TEXT);
    }

    if (alreadyHeld(collector, text)) return;
    if (severity > collector->highestSeverity) collector->highestSeverity = severity;
    if (collector->count >= ERR_COLLECTOR_SLOTS) {
        // Full: the last slot always holds the most recent text.
        collector->count = ERR_COLLECTOR_SLOTS - 1;
        std::free(collector->messages[collector->count]);
        collector->messages[collector->count] = nullptr;
    }
    size_t length = std::strlen(text);
    auto *copy = static_cast<char *>(QDMalloc(static_cast<uint32_t>(length + 1)));
    if (copy != nullptr) {
        std::memcpy(copy, text, length + 1);
    } else {
        collector->highestSeverity = ERR_SEVERITY_FATAL; // QDMalloc raised qdmMemFailure
    }
    collector->messages[collector->count] = copy;
    collector->count += 1;
}

void errCollectorFree(ErrCollector *collector) {
    if (collector == nullptr) return;
    if (collector->count > ERR_COLLECTOR_SLOTS) collector->count = ERR_COLLECTOR_SLOTS;
    while (collector->count > 0) {
        collector->count -= 1;
        std::free(collector->messages[collector->count]);
        collector->messages[collector->count] = nullptr;
    }
    std::free(collector);
}
