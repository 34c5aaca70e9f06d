#include "callback_reader.h"

#include <cstdio>
#include <cstring>

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Trims [begin, end) in place: the returned text ends where the blanks
// after it started.
char *trim(char *begin, char *end) {
    while (begin < end && isBlank(*begin)) ++begin;
    while (end > begin && isBlank(end[-1])) --end;
    *end = '\0';
    return begin;
}

// After a full buffer: true when the line ended there (its end of line or
// the end of the file follows), else skips the rest of the line.
bool atLineEnd(FILE *file) {
    int c = std::fgetc(file);
    if (c == '\r') c = std::fgetc(file);
    if (c == EOF || c == '\n') return true;
    while (c != EOF && c != '\n') c = std::fgetc(file);
    return false;
}

// One line, with its end of line removed; false when it is an error.
bool readLine(char *line, char *section, CallbackEntry entry, void *user) {
    char *text = trim(line, line + std::strlen(line));
    if (*text == '\0' || *text == ';' || *text == '#') return true;
    if (*text == '[') {
        char *close = std::strchr(text + 1, ']');
        if (close == nullptr) return false;
        *close = '\0';
        std::snprintf(section, CALLBACK_MAX_SECTION, "%s", text + 1);
        return true;
    }
    char *separator = std::strpbrk(text, "=:");
    if (separator == nullptr) return false;
    char *valueEnd = separator + std::strlen(separator);
    char *key = trim(text, separator);
    char *value = trim(separator + 1, valueEnd);
    return entry(user, section, key, value) != 0;
}
} // namespace

int callbackRead(const char *path, CallbackEntry entry, void *user) {
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return -1;
    char line[CALLBACK_MAX_LINE];
    char section[CALLBACK_MAX_SECTION] = "";
    int number = 0, firstError = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        ++number;
        bool ok = true;
        size_t length = std::strlen(line);
        if (length == sizeof line - 1 && line[length - 1] != '\n' && !atLineEnd(file)) {
            ok = false; // too long: the rest of the line is skipped
        } else {
            // A byte order mark before the first line is not part of it.
            char *text = line;
            if (number == 1 && std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;
            ok = readLine(text, section, entry, user);
        }
        if (!ok && firstError == 0) firstError = number;
    }
    std::fclose(file);
    return firstError;
}
