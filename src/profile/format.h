// One line of a profile file: normalising and splitting it.
#pragma once

#include "diag/collector.h"
#include "profile/limits.h"

#include <cstddef>
#include <cstdint>

enum ProfileLineKind : int32_t {
    PROFILE_LINE_OTHER = 0,   // blank lines, free text: ignored
    PROFILE_LINE_SECTION = 1, // contains "["
    PROFILE_LINE_KEY = 2,     // contains "=" and no "["
};

// Whitespace of the format: blank, tab, line feed, vertical tab, form feed
// and carriage return.  Bytes 128 to 255 are never whitespace.
constexpr bool profileIsWhitespace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// In place: drops leading and trailing whitespace and replaces each inner run
// of whitespace by its first character.  Text made only of whitespace, and
// the empty text, stay as they are.
void normalizeBlanks(char *text);

// The outputs of profileParseLine.  The key name carries over from call to
// call: after a "CSUM" key line, a line beginning with "L" and a digit is
// exempt from the character rules.  Zero it when a load starts.
struct ProfileParseBuffers {
    char sectionName[PROFILE_NAME_SIZE];
    char version[PROFILE_VERSION_SIZE];
    char keyName[PROFILE_KEY_NAME_SIZE];
    char value[PROFILE_VALUE_SIZE];
};

// Classifies one normalised line and splits it into the buffers.  Returns 0;
// 8 (recorded) for a line that breaks the format; 11 (recorded) for no line.
uint32_t profileParseLine(ErrCollector *collector, const char *line, ProfileLineKind *kind,
                          ProfileParseBuffers *out);

// A key line split without copying: its name and value as spans of the line.
struct ProfileKeySpan {
    const char *name;
    size_t nameLength;
    const char *value;
    size_t valueLength;
    // One "=" parts them (with blanks): the line without its blanks reads
    // "name=value", so its checksum is the key's.
    bool oneSign;
};

// Splits the common key line, "name = value" already in normal form, where
// it stands.  `line` holds `length` bytes without the line feed.  True only
// when normalizeBlanks would leave the line as it is and profileParseLine
// would take it as a key line with this name and value, and the name is not
// "CSUM"; every other line (a header, free text, a tab or carriage return,
// blanks at either end or doubled, a rejected character, a NUL byte, a field
// that is empty or over its limit) gives false and goes the full way, which
// tells what it is.  Not for the line after a "CSUM" key line, which the
// character rules treat apart.  Chosen for speed: one pass over the line
// stands for normalising, classifying and splitting it.
bool profileSplitPlainKey(const char *line, size_t length, ProfileKeySpan *out);
