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

// What a reader that looks at every byte of a line anyway (the built-in
// decoding) gathers for profileSplitScannedKey on the way, so that the split
// need not read the line again.  Positions count from the line's start.
struct ProfileLineScan {
    bool whole;       // the scan covers the line; false: the split reads the line itself
    size_t nameEnd;   // the first blank or "=", SIZE_MAX when none
    size_t refusedAt; // the first byte the split refuses, SIZE_MAX when none
    uint32_t doubled; // nonzero when two blanks follow each other
    uint32_t signs;   // nonzero when the line holds an "="
};

// The byte classes of the split as two tables of bits, one indexed by a
// byte's low four bits and one by its high four: a byte is in a class when
// the entries of both its halves have the class's bit.  Chosen for speed: a
// block of bytes is classed with two byte shuffles.  Bytes from 0x80 up are
// in none.
inline constexpr uint8_t PROFILE_SCAN_BLANK = 0x80;   // " "
inline constexpr uint8_t PROFILE_SCAN_SIGN = 0x40;    // "="
inline constexpr uint8_t PROFILE_SCAN_NUL = 0x20;     // the NUL byte, which is refused too
inline constexpr uint8_t PROFILE_SCAN_REFUSED = 0x3F; // any of these bits: refused
struct ProfileScanNibbles {
    alignas(16) uint8_t low[16];
    alignas(16) uint8_t high[16];
};
inline constexpr ProfileScanNibbles PROFILE_SCAN_NIBBLES = [] {
    ProfileScanNibbles table{};
    // Each class is one high half times a set of low halves.
    struct Group {
        uint8_t bit;
        uint8_t high;
        uint16_t lows; // bit i: low half i
    };
    const Group groups[] = {
        {PROFILE_SCAN_NUL, 0x0, 1u << 0},
        {0x01, 0x0, 0x3E00},                 // tab to carriage return
        {0x02, '#' >> 4, 1u << ('#' & 0xF)}, //
        {0x04, '<' >> 4, 1u << ('<' & 0xF) | 1u << ('>' & 0xF) | 1u << ('?' & 0xF)},
        {0x08, '@' >> 4, 1u << ('@' & 0xF)},               //
        {0x10, '[' >> 4, 1u << ('[' & 0xF)},               //
        {PROFILE_SCAN_BLANK, ' ' >> 4, 1u << (' ' & 0xF)}, //
        {PROFILE_SCAN_SIGN, '=' >> 4, 1u << ('=' & 0xF)},  //
    };
    for (const Group &group : groups) {
        table.high[group.high] |= group.bit;
        for (uint8_t i = 0; i < 16; ++i)
            if ((group.lows >> i) & 1u) table.low[i] |= group.bit;
    }
    return table;
}();

// profileSplitPlainKey of a line whose scan came with it: the same answer,
// without reading the line again but for its first and last bytes and the
// blanks and signs between name and value.  The scan may cover one byte
// more than `length` (the line feed the caller strips).  A scan that is not
// whole leaves the work to profileSplitPlainKey.
bool profileSplitScannedKey(const char *line, size_t length, const ProfileLineScan &scan,
                            ProfileKeySpan *out);
