// The built-in line encoding.
//
// It keeps the text of a profile file from being read or edited by a casual
// reader.  It is an obfuscation, not cryptography: anyone with this source
// and the transform parameter (or enough stored lines) can undo it.
//
// Stored form of a plain line P of n bytes (its final line feed included):
//
//     C1 C2 E(P[0]) ... E(P[n-1]) "\n"
//
// - Each plain byte is shifted by a key byte: c = (b + k) mod 256.  The key
//   bytes come from a 32-bit state seeded from the transform parameter; before
//   each byte the state advances by the golden-ratio constant and the key byte
//   is the top byte of its 32-bit finaliser mix; after each byte the plain
//   byte is folded into the state, so a change anywhere alters the rest of
//   the line.
// - A shifted byte that a line reader would stop at or alter (NUL, line feed,
//   carriage return, 0x1A) or that is the escape byte "\" itself is written as
//   "\" and one digit: "0" NUL, "1" line feed, "2" carriage return, "3" 0x1A,
//   "4" "\".  Everything else is written as it is.
// - C1 C2 are two check characters ("!" to "~") from the final state and the
//   length: a line that was cut, edited or not encoded at all almost never
//   decodes (about one in 8,836 passes), and then decodes to nothing.
//
// So the stored line is one line, ends in one line feed, holds none of NUL,
// carriage return and 0x1A, and is three bytes longer than the plain line
// plus one byte for each escaped byte (about 2 % of random bytes).  Plain
// lines may hold any byte 1 to 255; the line feed inside or at the end is
// encoded like any other byte, so decoding restores the plain line exactly.
//
// The library's default transform parameter, used by every context opened
// without its own decodeLine, is PROFILE_DEFAULT_TRANSFORM, 0x4B56 ("KV").
#include "profile/linecodec.h"

#include "diag/messages.h"

#include <cstddef>

namespace {

constexpr unsigned char ESCAPE = '\\';
constexpr unsigned char ESCAPED[] = {0x00, '\n', '\r', 0x1A, ESCAPE}; // by escape digit
constexpr size_t ESCAPE_COUNT = sizeof ESCAPED;
constexpr uint32_t SEED_SALT = 0x6B76694Eu; // mixed into the transform parameter
constexpr uint32_t STEP = 0x9E3779B9u;      // golden-ratio increment
constexpr uint32_t LENGTH_SALT = 0x85EBCA6Bu;
constexpr uint32_t CHECK_BASE = '!';
constexpr uint32_t CHECK_RANGE = 94; // "!" to "~"
constexpr size_t CHECK_LENGTH = 2;

// The 32-bit finaliser of MurmurHash3: a bijection that spreads every input
// bit over the whole word.
uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

struct KeyStream {
    uint32_t state;
    explicit KeyStream(uint32_t transform) : state(fmix32(transform ^ SEED_SALT)) {}
    unsigned char next() {
        state += STEP;
        return static_cast<unsigned char>(fmix32(state) >> 24);
    }
    void fold(unsigned char plain) { state ^= plain; }
    void check(size_t length, char out[CHECK_LENGTH]) const {
        uint32_t h = fmix32(state ^ (static_cast<uint32_t>(length) * LENGTH_SALT));
        out[0] = static_cast<char>(CHECK_BASE + h % CHECK_RANGE);
        out[1] = static_cast<char>(CHECK_BASE + (h / CHECK_RANGE) % CHECK_RANGE);
    }
};

int escapeDigit(unsigned char c) {
    for (size_t i = 0; i < ESCAPE_COUNT; ++i) {
        if (ESCAPED[i] == c) return static_cast<int>(i);
    }
    return -1;
}

// Leaves the output empty: the line cannot be decoded.
uint32_t undecodable(char *out) {
    out[0] = '\0';
    return PROFILE_STATUS_BAD_PARAMS;
}

} // namespace

uint32_t defaultEncodeLine(const char *plain, char *out, uint32_t capacity, uint32_t transform,
                           uint64_t) {
    if (out != nullptr && capacity > 0) out[0] = '\0';
    if (plain == nullptr || out == nullptr || plain[0] == '\0') return PROFILE_STATUS_BAD_PARAMS;
    // Room for the check characters, the final line feed and the zero.
    if (capacity < CHECK_LENGTH + 2) return PROFILE_STATUS_BAD_PARAMS;
    const size_t bodyEnd = capacity - 2; // the line feed and the zero follow
    KeyStream keys(transform);
    size_t w = CHECK_LENGTH;
    size_t length = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(plain); *p != 0;
         ++p, ++length) {
        unsigned char c = static_cast<unsigned char>(*p + keys.next());
        keys.fold(*p);
        int digit = escapeDigit(c);
        size_t need = digit < 0 ? 1 : 2;
        if (w + need > bodyEnd) {
            out[0] = '\0';
            return PROFILE_STATUS_BAD_PARAMS;
        }
        if (digit < 0) {
            out[w++] = static_cast<char>(c);
        } else {
            out[w++] = static_cast<char>(ESCAPE);
            out[w++] = static_cast<char>('0' + digit);
        }
    }
    keys.check(length, out);
    out[w++] = '\n';
    out[w] = '\0';
    return 0;
}

uint32_t defaultDecodeLine(const char *stored, char *out, uint32_t capacity, uint32_t transform,
                           uint64_t) {
    if (out == nullptr || capacity == 0) return PROFILE_STATUS_BAD_PARAMS;
    out[0] = '\0';
    if (stored == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    // The body ends at the line feed; a carriage return before it (a stored
    // line that went through a text-mode write) is not part of it.
    size_t end = 0;
    while (stored[end] != '\0' && stored[end] != '\n') ++end;
    if (end > 0 && stored[end - 1] == '\r') --end;
    if (end <= CHECK_LENGTH) return PROFILE_STATUS_BAD_PARAMS;
    KeyStream keys(transform);
    size_t w = 0;
    for (size_t r = CHECK_LENGTH; r < end; ++r) {
        unsigned char c = static_cast<unsigned char>(stored[r]);
        if (c == ESCAPE) {
            unsigned digit =
                ++r < end ? static_cast<unsigned char>(stored[r]) - unsigned{'0'} : 99u;
            if (digit >= ESCAPE_COUNT) return undecodable(out);
            c = ESCAPED[digit];
        } else if (escapeDigit(c) >= 0) {
            return undecodable(out); // a byte the encoder never writes as it is
        }
        unsigned char b = static_cast<unsigned char>(c - keys.next());
        if (b == 0 || w + 1 >= capacity) return undecodable(out);
        keys.fold(b);
        out[w++] = static_cast<char>(b);
    }
    out[w] = '\0';
    char check[CHECK_LENGTH];
    keys.check(w, check);
    if (check[0] != stored[0] || check[1] != stored[1]) return undecodable(out);
    return 0;
}
