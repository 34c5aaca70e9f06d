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
// - Each plain byte is shifted by a key byte: c = (b + k) mod 256.  Key byte
//   i of a line is byte i mod 4 (lowest first) of the 32-bit mix of
//   seed + (i / 4) * golden-ratio constant, the seed coming from the
//   transform parameter.  Chosen for speed: the key stream depends on the
//   parameter and the position only, so sixteen bytes decode at once
//   instead of one after another through a chain of mixes.
// - A shifted byte that a line reader would stop at or alter (NUL, line feed,
//   carriage return, 0x1A) or that is the escape byte "\" itself is written as
//   "\" and one digit: "0" NUL, "1" line feed, "2" carriage return, "3" 0x1A,
//   "4" "\".  Everything else is written as it is.
// - C1 C2 are two check characters ("!" to "~") from the seed, the length and
//   two running sums of the plain bytes (their sum, and the sum of those
//   sums, so that moved bytes count too): a line that was cut, edited,
//   encoded under another parameter or not encoded at all almost never
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

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr unsigned char ESCAPE = '\\';
constexpr unsigned char ESCAPED[] = {0x00, '\n', '\r', 0x1A, ESCAPE}; // by escape digit
constexpr size_t ESCAPE_COUNT = sizeof ESCAPED;
constexpr uint32_t SEED_SALT = 0x6B76694Eu; // mixed into the transform parameter
constexpr uint32_t STEP = 0x9E3779B9u;      // golden-ratio increment
constexpr uint32_t LENGTH_SALT = 0x85EBCA6Bu;
constexpr uint32_t SUM_SALT = 0xC2B2AE35u;
constexpr uint32_t CHECK_BASE = '!';
constexpr uint32_t CHECK_RANGE = 94; // "!" to "~"
constexpr size_t CHECK_LENGTH = 2;
constexpr size_t BLOCK = 16;
// 16 bytes of ones, then 16 zero bytes: the 16 bytes from BLOCK - n keep
// the first n lanes of a block.
alignas(16) constexpr unsigned char LANE_MASKS[2 * BLOCK] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0};

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

uint32_t seedOf(uint32_t transform) { return fmix32(transform ^ SEED_SALT); }

// The four key bytes of plain positions 4j to 4j+3, lowest byte first: a
// short multiply-xorshift of the counter (the seed already went through
// fmix32), chosen for speed, as five of them go into every 16 bytes read.
uint32_t keyWord(uint32_t seed, size_t j) {
    uint32_t x = seed + static_cast<uint32_t>(j) * STEP;
    x = (x ^ (x >> 15)) * 0x2C1B3C6Du;
    return x ^ (x >> 12);
}

// Key bytes one at a time, computing each key word once.
struct KeyBytes {
    uint32_t seed;
    size_t index = SIZE_MAX; // of the word held
    uint32_t word = 0;
    unsigned char at(size_t i) {
        if (i / 4 != index) {
            index = i / 4;
            word = keyWord(seed, index);
        }
        return static_cast<unsigned char>(word >> (8 * (i % 4)));
    }
};

// What the check characters cover: the plain bytes so far, as their sum and
// the sum of the running sums.
struct Sums {
    uint32_t a = 0;
    uint32_t b = 0;
    void add(unsigned char plain) {
        a += plain;
        b += a;
    }
};

void checkCharacters(uint32_t seed, const Sums &sums, size_t length, char out[CHECK_LENGTH]) {
    uint32_t h = fmix32(seed ^ fmix32(sums.a ^ (sums.b * SUM_SALT)) ^
                        (static_cast<uint32_t>(length) * LENGTH_SALT));
    out[0] = static_cast<char>(CHECK_BASE + h % CHECK_RANGE);
    out[1] = static_cast<char>(CHECK_BASE + (h / CHECK_RANGE) % CHECK_RANGE);
}

// The escape digit of each byte, or -1 for a byte written as it is; one
// look-up per byte of every line read or written.
constexpr auto ESCAPE_DIGITS = [] {
    struct Table {
        signed char digit[256];
    } table{};
    for (int c = 0; c < 256; ++c) table.digit[c] = -1;
    for (size_t i = 0; i < ESCAPE_COUNT; ++i) table.digit[ESCAPED[i]] = static_cast<signed char>(i);
    return table;
}();

int escapeDigit(unsigned char c) { return ESCAPE_DIGITS.digit[c]; }

// Leaves the output empty: the line cannot be decoded.
uint32_t undecodable(char *out) {
    out[0] = '\0';
    return PROFILE_STATUS_BAD_PARAMS;
}

#if defined(__SSE2__)
// The 16 key bytes of plain positions w to w+15, built in registers (a
// store of the words and an unaligned load across them would stall).
__m128i keyBlock(uint32_t seed, size_t w) {
    const size_t j = w / 4;
    const __m128i low = _mm_setr_epi32(
        static_cast<int>(keyWord(seed, j)), static_cast<int>(keyWord(seed, j + 1)),
        static_cast<int>(keyWord(seed, j + 2)), static_cast<int>(keyWord(seed, j + 3)));
    if (w % 4 == 0) return low;
    const __m128i high = _mm_cvtsi32_si128(static_cast<int>(keyWord(seed, j + 4)));
    switch (w % 4) { // byte shifts take constants
    case 1:
        return _mm_or_si128(_mm_srli_si128(low, 1), _mm_slli_si128(high, 15));
    case 2:
        return _mm_or_si128(_mm_srli_si128(low, 2), _mm_slli_si128(high, 14));
    default:
        return _mm_or_si128(_mm_srli_si128(low, 3), _mm_slli_si128(high, 13));
    }
}

// Decodes the leading stored bytes of one 16-byte block that need no escape
// into out, as long as they are plain bytes other than NUL: returns how many
// (0 to 16).  Key bytes from plain position w; the sums take those bytes.
// out must have room for 16 bytes; the bytes past the count are scratch.
size_t decodeBlock(const unsigned char *stored, unsigned char *out, uint32_t seed, size_t w,
                   Sums &sums) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(stored));
    __m128i special = _mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(ESCAPED[0])));
    for (size_t i = 1; i < ESCAPE_COUNT; ++i)
        special = _mm_or_si128(special,
                               _mm_cmpeq_epi8(block, _mm_set1_epi8(static_cast<char>(ESCAPED[i]))));
    auto specials = static_cast<uint32_t>(_mm_movemask_epi8(special));
    size_t count = specials == 0 ? BLOCK : static_cast<size_t>(std::countr_zero(specials));
    if (count == 0) return 0;

    __m128i plain = _mm_sub_epi8(block, keyBlock(seed, w));
    auto zeros =
        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(plain, _mm_setzero_si128())));
    zeros &= (count == BLOCK ? 0xFFFFu : (1u << count) - 1);
    if (zeros != 0) count = static_cast<size_t>(std::countr_zero(zeros)); // NUL: byte by byte
    if (count == 0) return 0;
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), plain);

    // The sums over the first `count` bytes: a += their sum; b += count
    // times the earlier a, plus each byte times the number of running sums
    // it is in (count - i).
    const __m128i descendingLo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i descendingHi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    __m128i kept = count == BLOCK
                       ? plain
                       : _mm_and_si128(plain, _mm_loadu_si128(reinterpret_cast<const __m128i *>(
                                                  LANE_MASKS + BLOCK - count)));
    __m128i zero = _mm_setzero_si128();
    __m128i total = _mm_sad_epu8(kept, zero);
    auto blockSum = static_cast<uint32_t>(_mm_cvtsi128_si32(total) +
                                          _mm_cvtsi128_si32(_mm_srli_si128(total, 8)));
    __m128i weighted = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(kept, zero), descendingLo),
                                     _mm_madd_epi16(_mm_unpackhi_epi8(kept, zero), descendingHi));
    weighted = _mm_add_epi32(weighted, _mm_shuffle_epi32(weighted, _MM_SHUFFLE(1, 0, 3, 2)));
    weighted = _mm_add_epi32(weighted, _mm_shuffle_epi32(weighted, _MM_SHUFFLE(2, 3, 0, 1)));
    auto sixteenths = static_cast<uint32_t>(_mm_cvtsi128_si32(weighted));
    auto n = static_cast<uint32_t>(count);
    sums.b += n * sums.a + sixteenths - (static_cast<uint32_t>(BLOCK) - n) * blockSum;
    sums.a += blockSum;
    return count;
}
#endif

} // namespace

uint32_t defaultEncodeLine(const char *plain, char *out, uint32_t capacity, uint32_t transform,
                           uint64_t) {
    if (out != nullptr && capacity > 0) out[0] = '\0';
    if (plain == nullptr || out == nullptr || plain[0] == '\0') return PROFILE_STATUS_BAD_PARAMS;
    // Room for the check characters, the final line feed and the zero.
    if (capacity < CHECK_LENGTH + 2) return PROFILE_STATUS_BAD_PARAMS;
    const size_t bodyEnd = capacity - 2; // the line feed and the zero follow
    const uint32_t seed = seedOf(transform);
    Sums sums;
    size_t w = CHECK_LENGTH;
    size_t length = 0;
    uint32_t word = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(plain); *p != 0;
         ++p, ++length) {
        if (length % 4 == 0) word = keyWord(seed, length / 4);
        unsigned char c = static_cast<unsigned char>(*p + static_cast<unsigned char>(word));
        word >>= 8;
        sums.add(*p);
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
    checkCharacters(seed, sums, length, out);
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
    size_t end = std::strcspn(stored, "\n");
    if (end > 0 && stored[end - 1] == '\r') --end;
    if (end <= CHECK_LENGTH) return PROFILE_STATUS_BAD_PARAMS;
    const uint32_t seed = seedOf(transform);
    const auto *bytes = reinterpret_cast<const unsigned char *>(stored);
    auto *plain = reinterpret_cast<unsigned char *>(out);
    Sums sums;
    size_t w = 0;
    KeyBytes keys{seed};
    for (size_t r = CHECK_LENGTH; r < end;) {
#if defined(__SSE2__)
        if (w + BLOCK < capacity) {
            size_t count = 0;
            if (r + BLOCK <= end) {
                count = decodeBlock(bytes + r, plain + w, seed, w, sums);
            } else {
                // The last bytes through a copy that ends in line feeds,
                // which the block stops at.
                unsigned char last[BLOCK];
                std::memset(last, '\n', sizeof last);
                std::memcpy(last, bytes + r, end - r);
                count = decodeBlock(last, plain + w, seed, w, sums);
            }
            r += count;
            w += count;
            if (count == BLOCK) continue;
            if (r >= end) break;
        }
#endif
        unsigned char c = bytes[r++];
        if (c == ESCAPE) {
            unsigned digit = r < end ? static_cast<unsigned char>(bytes[r++]) - unsigned{'0'} : 99u;
            if (digit >= ESCAPE_COUNT) return undecodable(out);
            c = ESCAPED[digit];
        } else if (escapeDigit(c) >= 0) {
            return undecodable(out); // a byte the encoder never writes as it is
        }
        unsigned char b = static_cast<unsigned char>(c - keys.at(w));
        if (b == 0 || w + 1 >= capacity) return undecodable(out);
        sums.add(b);
        plain[w++] = b;
    }
    if (w + 1 > capacity) return undecodable(out);
    out[w] = '\0';
    char check[CHECK_LENGTH];
    checkCharacters(seed, sums, w, check);
    if (check[0] != stored[0] || check[1] != stored[1]) return undecodable(out);
    return 0;
}
