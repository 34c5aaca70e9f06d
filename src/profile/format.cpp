#include "profile/format.h"

#include "profile/fail.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// 1 for whitespace, 0 for every other byte.
constexpr auto CHAR_CLASS = [] {
    struct Table {
        uint8_t of[256];
    } table{};
    for (int c = 0; c < 256; ++c) table.of[c] = profileIsWhitespace(static_cast<char>(c)) ? 1 : 0;
    return table;
}();

// Characters that no line may hold (outside the exception after "CSUM").
bool hasRejectedCharacter(const char *line) { return std::strpbrk(line, "<>#@?") != nullptr; }

const char *skipBlanks(const char *p) {
    while (profileIsWhitespace(*p)) ++p;
    return p;
}

// Sets a field to the first `length` characters of text, which the caller
// has measured against the field's size.  Not a bounded copy (that is
// QDMsafeCopy): chosen for speed, as every key line goes through here twice
// and the bounded copy's zero-filling and second reading cost a load 4 %.
void takeText(char *field, const char *text, size_t length) {
    std::memcpy(field, text, length);
    field[length] = '\0';
}

// "[name version]": the name runs to the first "]" or whitespace; the version
// is every non-whitespace character up to the "]" that directly follows one
// of them.  Fills the name and version fields on success only.
uint32_t parseHeader(ErrCollector *collector, const char *line, ProfileParseBuffers *out) {
    if (std::strchr(line, ']') == nullptr) return profileFail(collector, PROFILE_STATUS_TAMPERED);
    const char *p = line;
    while (profileIsWhitespace(*p) || *p == '[') ++p;
    const char *name = p;
    while (*p != '\0' && *p != ']' && !profileIsWhitespace(*p)) ++p;
    size_t nameLength = static_cast<size_t>(p - name);
    if (nameLength > PROFILE_NAME_SIZE - 1 || *p == '\0') {
        return profileFail(collector, PROFILE_STATUS_TAMPERED);
    }
    p = skipBlanks(p);
    char version[PROFILE_VERSION_SIZE] = {};
    size_t versionLength = 0;
    if (*p != ']') {
        // Copy one character after any whitespace, until the character right
        // after the copied one is "]"; a blank before the "]" therefore makes
        // the "]" itself part of the version, and the line runs out.
        for (;;) {
            p = skipBlanks(p);
            if (*p == '\0' || versionLength == PROFILE_VERSION_SIZE - 1) {
                return profileFail(collector, PROFILE_STATUS_TAMPERED);
            }
            version[versionLength++] = *p++;
            if (*p == ']') break;
        }
    }
    takeText(out->sectionName, name, nameLength);
    if (versionLength == 0) {
        takeText(out->version, PROFILE_NO_VERSION, std::strlen(PROFILE_NO_VERSION));
    } else {
        takeText(out->version, version, versionLength);
    }
    return 0;
}

// "name = value": the name runs to the first "=" or whitespace, the value
// starts after the whitespace and "=" signs that follow.  Fills the key name
// and value on success only, so the key name is always that of the last
// valid key line.
uint32_t parseKey(ErrCollector *collector, const char *line, ProfileParseBuffers *out) {
    const char *p = skipBlanks(line);
    const char *name = p;
    while (*p != '\0' && *p != '=' && !profileIsWhitespace(*p)) ++p;
    size_t nameLength = static_cast<size_t>(p - name);
    if (nameLength > PROFILE_KEY_NAME_SIZE - 1) {
        return profileFail(collector, PROFILE_STATUS_TAMPERED);
    }
    while (*p == '=' || profileIsWhitespace(*p)) ++p;
    const char *value = p;
    const char *end = std::strchr(value, '\n');
    size_t valueLength = end != nullptr ? static_cast<size_t>(end - value) : std::strlen(value);
    if (valueLength > PROFILE_VALUE_SIZE - 1 || nameLength == 0 || valueLength == 0) {
        return profileFail(collector, PROFILE_STATUS_TAMPERED);
    }
    takeText(out->keyName, name, nameLength);
    takeText(out->value, value, valueLength);
    return 0;
}

} // namespace

void normalizeBlanks(char *text) {
    if (text == nullptr) return;
    // Most lines are already normal: no whitespace at either end and none
    // next to other whitespace.  Chosen for speed: sixteen bytes at a time
    // tell, then the rest one by one, without branches per byte.
    size_t length = std::strlen(text);
    if (length == 0) return;
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    uint32_t run = CHAR_CLASS.of[bytes[0]] | CHAR_CLASS.of[bytes[length - 1]];
    uint32_t previous = 0;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i blank = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i controlSpan = _mm_set1_epi8('\r' - '\t');
    for (; i + 16 <= length && run == 0; i += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + i));
        __m128i fromTab = _mm_sub_epi8(block, tab); // tab to carriage return: 0 to 4
        __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(fromTab, controlSpan), fromTab);
        __m128i white = _mm_or_si128(_mm_cmpeq_epi8(block, blank), control);
        auto mask = static_cast<uint32_t>(_mm_movemask_epi8(white));
        run |= (mask & ((mask << 1) | previous)) != 0 ? 1u : 0u;
        previous = mask >> 15;
    }
#endif
    for (; i < length && run == 0; ++i) {
        uint32_t current = CHAR_CLASS.of[bytes[i]];
        run |= previous & current;
        previous = current;
    }
    if (run == 0) return;

    const char *read = skipBlanks(text);
    if (*read == '\0') return; // only whitespace: unchanged
    char *write = text;
    while (*read != '\0') {
        if (profileIsWhitespace(*read)) {
            char first = *read;
            read = skipBlanks(read);
            if (*read == '\0') break; // trailing whitespace is dropped
            *write++ = first;
        } else {
            // Graphic characters, bytes 128 to 255 and the other control
            // characters are kept as they are.
            *write++ = *read++;
        }
    }
    *write = '\0';
}

uint32_t profileParseLine(ErrCollector *collector, const char *line, ProfileLineKind *kind,
                          ProfileParseBuffers *out) {
    if (kind != nullptr) *kind = PROFILE_LINE_OTHER;
    if (line == nullptr || kind == nullptr || out == nullptr) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    // The continuation of a "CSUM" line, "L" and a digit, escapes the
    // character rules and cannot be a header.
    bool csumContinuation =
        std::strcmp(out->keyName, PROFILE_KEY_CSUM) == 0 && line[0] == 'L' && isDigit(line[1]);
    if (!csumContinuation) {
        if (hasRejectedCharacter(line)) return profileFail(collector, PROFILE_STATUS_TAMPERED);
        if (std::strchr(line, '[') != nullptr) {
            uint32_t status = parseHeader(collector, line, out);
            if (status == 0) *kind = PROFILE_LINE_SECTION;
            return status;
        }
    }
    if (std::strchr(line, '=') != nullptr) {
        uint32_t status = parseKey(collector, line, out);
        if (status == 0) *kind = PROFILE_LINE_KEY;
        return status;
    }
    return 0;
}

namespace {

// What one byte is to profileSplitPlainKey.
enum SplitClass : uint8_t {
    SPLIT_TEXT = 0,
    SPLIT_BLANK = 1,
    SPLIT_SIGN = 2,   // "="
    SPLIT_REFUSE = 4, // whitespace other than the blank, NUL, "[" and "<>#@?"
};

[[maybe_unused]] constexpr auto SPLIT_CLASS = [] {
    struct Table {
        uint8_t of[256];
    } table{};
    for (int c = 0; c < 256; ++c) {
        char ch = static_cast<char>(c);
        if (ch == ' ')
            table.of[c] = SPLIT_BLANK;
        else if (ch == '=')
            table.of[c] = SPLIT_SIGN;
        else if (ch == '\0' || ch == '[' || profileIsWhitespace(ch) || ch == '<' || ch == '>' ||
                 ch == '#' || ch == '@' || ch == '?')
            table.of[c] = SPLIT_REFUSE;
    }
    return table;
}();

// Bit masks over up to 16 bytes of a line: blanks, "=" signs and refused
// bytes, bit i for byte i.
struct SplitMasks {
    uint32_t blank;
    uint32_t sign;
    uint32_t refuse;
};

[[gnu::always_inline]] inline SplitMasks splitMasks(const unsigned char *bytes) {
#if defined(__SSE2__)
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
    auto is = [&](char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
    // x in [low, low + span], unsigned.
    auto within = [&](char low, char span) {
        __m128i d = _mm_sub_epi8(x, _mm_set1_epi8(low));
        return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(span)), d);
    };
    __m128i sign = is('=');
    // "<", "=", ">", "?", "@" are one run of codes; the sign is let through.
    __m128i refuse = _mm_andnot_si128(sign, within('<', '@' - '<'));
    refuse = _mm_or_si128(refuse, within('\t', '\r' - '\t'));
    refuse = _mm_or_si128(refuse, _mm_or_si128(is('#'), _mm_or_si128(is('['), is('\0'))));
    return {static_cast<uint32_t>(_mm_movemask_epi8(is(' '))),
            static_cast<uint32_t>(_mm_movemask_epi8(sign)),
            static_cast<uint32_t>(_mm_movemask_epi8(refuse))};
#else
    SplitMasks masks{0, 0, 0};
    for (uint32_t i = 0; i < 16; ++i) {
        uint8_t c = SPLIT_CLASS.of[bytes[i]];
        masks.blank |= static_cast<uint32_t>((c & SPLIT_BLANK) != 0) << i;
        masks.sign |= static_cast<uint32_t>((c & SPLIT_SIGN) != 0) << i;
        masks.refuse |= static_cast<uint32_t>((c & SPLIT_REFUSE) != 0) << i;
    }
    return masks;
#endif
}

// The end of profileSplitPlainKey, once the line is known to hold an "="
// and neither a refused byte nor two blanks in a row: the name ends at
// nameEnd (the first blank or sign), the value starts after the blanks and
// signs that follow it.
bool splitAt(const char *line, size_t length, size_t nameEnd, ProfileKeySpan *out) {
    if (nameEnd == 0 || nameEnd > PROFILE_KEY_NAME_SIZE - 1) return false;
    size_t valueStart = nameEnd;
    uint32_t signs = 0;
    for (; valueStart < length && (line[valueStart] == '=' || line[valueStart] == ' ');
         ++valueStart)
        signs += line[valueStart] == '=' ? 1u : 0u;
    size_t valueLength = length - valueStart;
    if (valueLength == 0 || valueLength > PROFILE_VALUE_SIZE - 1) return false;
    if (nameEnd == sizeof PROFILE_KEY_CSUM - 1 && std::memcmp(line, PROFILE_KEY_CSUM, nameEnd) == 0)
        return false;
    *out = ProfileKeySpan{line, nameEnd, line + valueStart, valueLength, signs == 1};
    return true;
}

} // namespace

bool profileSplitPlainKey(const char *line, size_t length, ProfileKeySpan *out) {
    if (line == nullptr || out == nullptr || length == 0 || line[0] == ' ' ||
        line[length - 1] == ' ')
        return false;
    const auto *bytes = reinterpret_cast<const unsigned char *>(line);
    size_t nameEnd = SIZE_MAX; // the first blank or sign
    bool signSeen = false;
    uint32_t blankBefore = 0; // the last byte of the previous chunk was a blank
    for (size_t i = 0; i < length; i += 16) {
        SplitMasks masks;
        size_t valid = length - i;
        if (valid >= 16) {
            masks = splitMasks(bytes + i);
        } else if (length >= 16) {
            // The line's last 16 bytes, less those already looked at: no
            // read passes the line, and no copy.
            masks = splitMasks(bytes + length - 16);
            const auto shift = static_cast<uint32_t>(16 - valid);
            masks = SplitMasks{masks.blank >> shift, masks.sign >> shift, masks.refuse >> shift};
        } else {
            // The tail is padded with text bytes, which add nothing.
            unsigned char tail[16];
            std::memset(tail, 'x', sizeof tail);
            std::memcpy(tail, bytes + i, valid);
            masks = splitMasks(tail);
        }
        if (masks.refuse != 0 || (masks.blank & ((masks.blank << 1) | blankBefore)) != 0)
            return false;
        blankBefore = (masks.blank >> 15) & 1u;
        signSeen = signSeen || masks.sign != 0;
        uint32_t stops = masks.blank | masks.sign;
        if (nameEnd == SIZE_MAX && stops != 0)
            nameEnd = i + static_cast<size_t>(std::countr_zero(stops));
    }
    return signSeen && splitAt(line, length, nameEnd, out);
}

bool profileSplitScannedKey(const char *line, size_t length, const ProfileLineScan &scan,
                            ProfileKeySpan *out) {
    if (!scan.whole) return profileSplitPlainKey(line, length, out);
    if (line == nullptr || out == nullptr || length == 0 || line[0] == ' ' ||
        line[length - 1] == ' ' || scan.refusedAt < length || scan.doubled != 0 || scan.signs == 0)
        return false;
    return splitAt(line, length, scan.nameEnd, out);
}
