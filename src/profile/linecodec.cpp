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
// - Each plain byte is combined with a key byte: c = b xor k.  Key byte i of
//   a line is byte i mod 4 (lowest first) of the 32-bit mix of
//   seed + (i / 4) * golden-ratio constant, the seed coming from the
//   transform parameter, with its top bit set.  Chosen for speed: the key
//   stream depends on the parameter and the position only, so a block of
//   bytes decodes at once instead of one after another through a chain of
//   mixes; and as every key byte is 0x80 or above, every plain byte below
//   0x80 (all of ASCII text) is stored at 0x80 or above, where no byte is
//   escaped, so a block of such bytes decodes without the escape step.
// - A combined byte that a line reader would stop at or alter (NUL, line feed,
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
// plus one byte for each escaped byte (none for ASCII text, about 4 % of
// bytes from 0x80 up).  Plain
// lines may hold any byte 1 to 255; the line feed inside or at the end is
// encoded like any other byte, so decoding restores the plain line exactly.
//
// The library's default transform parameter, used by every context opened
// without its own decodeLine, is PROFILE_DEFAULT_TRANSFORM, 0x4B56 ("KV").
#include "profile/linecodec.h"

#include "diag/messages.h"
#include "profile/context.h"
#include "profile/limits.h"

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Blocks of 64 bytes with AVX-512 where the processor has it (checked at
// run time), on x86-64 Linux only: MinGW's GCC does not align the stack for
// spilled vectors wider than 16 bytes.
#if defined(__SSE2__) && defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define KV_LINECODEC_WIDE 1
#include <immintrin.h>
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

// The widest block the codec may use: tests narrow it with
// lineCodecSetBlockLimit to hold every path to the same results.
#ifdef KVINIT64_TESTABLE
std::atomic<uint32_t> blockLimit{64};
uint32_t widestBlock() { return blockLimit.load(std::memory_order_relaxed); }
#else
constexpr uint32_t widestBlock() { return 64; }
#endif

// The 32-bit finaliser of MurmurHash3: a bijection that spreads every input
// bit over the whole word.
constexpr uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

constexpr uint32_t seedOf(uint32_t transform) { return fmix32(transform ^ SEED_SALT); }
constexpr uint32_t DEFAULT_SEED = seedOf(PROFILE_DEFAULT_TRANSFORM);

// The four key bytes of plain positions 4j to 4j+3, lowest byte first: a
// short multiply-xorshift of the counter (the seed already went through
// fmix32), chosen for speed, as a line under a parameter other than the
// default one (whose key bytes are a table) makes one for every 4 bytes.
constexpr uint32_t keyWord(uint32_t seed, size_t j) {
    uint32_t x = seed + static_cast<uint32_t>(j) * STEP;
    x = (x ^ (x >> 15)) * 0x2C1B3C6Du;
    return (x ^ (x >> 12)) | 0x80808080u; // the top bit of every key byte set
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

inline void checkCharacters(uint32_t seed, const Sums &sums, size_t length,
                            char out[CHECK_LENGTH]) {
    uint32_t h = fmix32(seed ^ (sums.a * STEP + sums.b * SUM_SALT) ^
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
// The tables below cover a stored line of PROFILE_LINE_SIZE and a block
// more: every line a load reads decodes block-wise.
constexpr size_t WIDE_BLOCK = 64;
constexpr size_t TABLE_SIZE = (PROFILE_LINE_SIZE + WIDE_BLOCK + BLOCK - 1) / BLOCK * BLOCK;

// Key byte i of the default transform parameter, the one every context
// without its own decodeLine uses: built at compile time, chosen for speed,
// as a block of key bytes is then one load.
struct KeyTable {
    alignas(BLOCK) unsigned char bytes[TABLE_SIZE];
};
constexpr KeyTable DEFAULT_KEYS = [] {
    KeyTable table{};
    for (size_t i = 0; i < TABLE_SIZE; ++i)
        table.bytes[i] = static_cast<unsigned char>(keyWord(DEFAULT_SEED, i / 4) >> (8 * (i % 4)));
    return table;
}();

// Position i at index i, as 16-bit lanes: the weights of the sum of
// position times byte, loaded eight at a time.
constexpr struct Positions {
    alignas(BLOCK) int16_t at[TABLE_SIZE];
} POSITIONS = [] {
    Positions table{};
    for (size_t i = 0; i < TABLE_SIZE; ++i) table.at[i] = static_cast<int16_t>(i);
    return table;
}();
static_assert(TABLE_SIZE < 32768, "positions are 16-bit lanes");

// The low 32 bits of each lane's product (SSE2 has no 32-bit multiply).
__m128i multiplyLow(__m128i a, __m128i b) {
    __m128i even = _mm_mul_epu32(a, b);
    __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
    return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                              _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
}

// Key bytes 0 to count - 1 (a multiple of 16) of a seed into keys, four
// key words at a time (keyWord in each lane).
void fillKeys(uint32_t seed, unsigned char *keys, size_t count) {
    __m128i counter =
        _mm_add_epi32(_mm_set1_epi32(static_cast<int>(seed)),
                      _mm_setr_epi32(0, static_cast<int>(STEP), static_cast<int>(2 * STEP),
                                     static_cast<int>(3 * STEP)));
    const __m128i step = _mm_set1_epi32(static_cast<int>(4 * STEP));
    const __m128i multiplier = _mm_set1_epi32(0x2C1B3C6D);
    for (size_t i = 0; i < count; i += BLOCK) {
        __m128i x = _mm_xor_si128(counter, _mm_srli_epi32(counter, 15));
        x = multiplyLow(x, multiplier);
        x = _mm_xor_si128(x, _mm_srli_epi32(x, 12));
        x = _mm_or_si128(x, _mm_set1_epi32(static_cast<int>(0x80808080u)));
        _mm_store_si128(reinterpret_cast<__m128i *>(keys + i), x);
        counter = _mm_add_epi32(counter, step);
    }
}

// The plain byte of each escape digit character in the low byte, 0x100
// for a character that is no escape digit.
constexpr auto UNESCAPED = [] {
    struct Table {
        uint16_t of[256];
    } table{};
    for (auto &entry : table.of) entry = 0x100;
    for (size_t i = 0; i < ESCAPE_COUNT; ++i) table.of['0' + i] = ESCAPED[i];
    return table;
}();

// The check sums of a line taken 16 bytes at a time, kept in lanes and put
// together once at the end: the sum of the bytes, and the sum of position
// times byte.
struct LaneSums {
    __m128i bytes = _mm_setzero_si128();    // two 64-bit lanes
    __m128i weighted = _mm_setzero_si128(); // four 32-bit lanes, modulo 2^32
    // Adds a block whose lane i holds the byte at position at + i (lanes
    // that do not count hold zero).
    void add(__m128i block, size_t at) {
        const __m128i zero = _mm_setzero_si128();
        const auto *positions = reinterpret_cast<const __m128i *>(POSITIONS.at + at);
        bytes = _mm_add_epi64(bytes, _mm_sad_epu8(block, zero));
        weighted = _mm_add_epi32(
            weighted,
            _mm_add_epi32(
                _mm_madd_epi16(_mm_unpacklo_epi8(block, zero), _mm_loadu_si128(positions)),
                _mm_madd_epi16(_mm_unpackhi_epi8(block, zero), _mm_loadu_si128(positions + 1))));
    }
    // The running sums of a line of `length` bytes, with bytes added one at
    // a time (their sum, and their sum of position times byte): a is the
    // sum of the bytes, b the sum of the running sums, which is the sum of
    // (length - position) * byte.
    Sums running(size_t length, uint32_t sumAside, uint32_t weightedAside) const {
        const uint32_t a = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes)) +
                           static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8))) +
                           sumAside;
        __m128i w = _mm_add_epi32(weighted, _mm_shuffle_epi32(weighted, _MM_SHUFFLE(1, 0, 3, 2)));
        w = _mm_add_epi32(w, _mm_shuffle_epi32(w, _MM_SHUFFLE(2, 3, 0, 1)));
        const uint32_t positionTimesByte =
            static_cast<uint32_t>(_mm_cvtsi128_si32(w)) + weightedAside;
        Sums sums;
        sums.a = a;
        sums.b = static_cast<uint32_t>(length) * a - positionTimesByte;
        return sums;
    }
};

// Decodes the body of a stored line, bytes CHECK_LENGTH to end - 1, into
// plain, 16 bytes at a time: a block without an escape is one subtraction
// of 16 key bytes and one store; at an escape the block ends after the
// escaped byte and the next one starts at the byte after its digit; any
// other byte the encoder never writes as it is (NUL, line feed, carriage
// return, 0x1A) ends it too and makes the line undecodable.  The last bytes
// go through a copy followed by carriage returns, which end the block
// there, so nothing at or past end is read.  Every step does the same work, whether it met an
// escape, the end or nothing, and a line that cannot be decoded is only found at the end: chosen
// for speed, as escapes come at random places (about two in a line of 100 bytes) and a mispredicted
// branch costs as much as a block. Returns the plain length, or SIZE_MAX when the body cannot be
// decoded. Needs end + 16 <= TABLE_SIZE and room for end + 16 bytes in plain, which past the plain
// length holds scratch; keys holds key bytes 0 to end + 15.
size_t decodeBody(const unsigned char *stored, size_t end, const unsigned char *keys,
                  unsigned char *plain, Sums &sums) {
    const __m128i escape = _mm_set1_epi8(static_cast<char>(ESCAPE));
    const __m128i lineFeed = _mm_set1_epi8('\n');
    const __m128i carriageReturn = _mm_set1_epi8('\r');
    const __m128i endOfFile = _mm_set1_epi8(0x1A);
    const __m128i zero = _mm_setzero_si128();
    alignas(BLOCK) unsigned char last[2 * BLOCK];
    size_t lastStart = 0; // the stored position of last[0]
    _mm_store_si128(reinterpret_cast<__m128i *>(last + BLOCK), carriageReturn);
    if (end >= BLOCK) {
        lastStart = end - BLOCK;
        _mm_store_si128(reinterpret_cast<__m128i *>(last),
                        _mm_loadu_si128(reinterpret_cast<const __m128i *>(stored + lastStart)));
    } else {
        _mm_store_si128(reinterpret_cast<__m128i *>(last), carriageReturn);
        std::memcpy(last, stored, end);
    }
    // The sums are kept as the sum of the bytes and the sum of position
    // times byte, in lanes, and put together once at the end.
    LaneSums laneSums;
    __m128i nuls = zero;
    uint32_t escapedSum = 0;
    uint32_t escapedWeighted = 0;
    uint32_t bad = 0;
    size_t r = CHECK_LENGTH;
    size_t w = 0;
    while (r < end) {
        const unsigned char *from = r + BLOCK <= end ? stored + r : last + (r - lastStart);
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
        const __m128i escapes = _mm_cmpeq_epi8(block, escape);
        const __m128i special =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(escapes, _mm_cmpeq_epi8(block, carriageReturn)),
                                      _mm_or_si128(_mm_cmpeq_epi8(block, endOfFile),
                                                   _mm_cmpeq_epi8(block, lineFeed))),
                         _mm_cmpeq_epi8(block, zero));
        __m128i bytes =
            _mm_xor_si128(block, _mm_loadu_si128(reinterpret_cast<const __m128i *>(keys + w)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(plain + w), bytes);
        // The bytes before the first special one (all 16 when none) count.
        const auto count = static_cast<size_t>(
            std::countr_zero(static_cast<uint32_t>(_mm_movemask_epi8(special)) | 0x10000u));
        const __m128i kept =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(LANE_MASKS + BLOCK - count));
        nuls = _mm_or_si128(nuls, _mm_and_si128(_mm_cmpeq_epi8(bytes, zero), kept));
        laneSums.add(_mm_and_si128(bytes, kept), w);
        // The special byte, at <= end: an escape unless it is the end; its
        // digit, when the body has one, follows it.
        const size_t at = r + count;
        const uint32_t escaped = (count < BLOCK) & (at < end);
        const uint32_t isEscape =
            (static_cast<uint32_t>(_mm_movemask_epi8(escapes)) >> count) & 1u; // 0 at count 16
        const uint32_t unescaped = at + 1 < end ? UNESCAPED.of[stored[at + 1]] : 0x100u;
        const auto b = static_cast<unsigned char>(unescaped ^ keys[w + count]);
        bad |= escaped & ((isEscape ^ 1u) | (unescaped >> 8) | (b == 0));
        plain[w + count] = b; // past the block: overwritten next or scratch
        const uint32_t kept1 = b & (0u - escaped);
        escapedSum += kept1;
        escapedWeighted += static_cast<uint32_t>(w + count) * kept1;
        r = at + 2 * escaped;
        w += count + escaped;
    }
    if (bad != 0) return SIZE_MAX;
    if (_mm_movemask_epi8(nuls) != 0) return SIZE_MAX; // a plain NUL
    sums = laneSums.running(w, escapedSum, escapedWeighted);
    return w;
}
#endif

#if defined(__SSE2__)
#if defined(KV_LINECODEC_WIDE)
#define KV_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt")))

// ESCAPED in the first bytes of every 16, for a shuffle by escape digit.
struct WideLanes {
    alignas(WIDE_BLOCK) unsigned char bytes[WIDE_BLOCK];
};
constexpr WideLanes UNESCAPE_LANES = [] {
    WideLanes table{};
    for (size_t i = 0; i < WIDE_BLOCK; ++i)
        table.bytes[i] = i % BLOCK < ESCAPE_COUNT ? ESCAPED[i % BLOCK] : 0;
    return table;
}();

// 0 to 63: the weight of each lane in a block.
constexpr WideLanes LANE_NUMBERS = [] {
    WideLanes table{};
    for (size_t i = 0; i < WIDE_BLOCK; ++i) table.bytes[i] = static_cast<unsigned char>(i);
    return table;
}();

// The lower and upper 32 bytes of a vector (masked extracts: GCC 12 warns
// about the undefined operand of the unmasked ones and of the cast).
KV_WIDE_TARGET __m256i lowHalf(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xF, v, 0); }
KV_WIDE_TARGET __m256i highHalf(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xF, v, 1); }

// The sum of the sixteen 32-bit lanes, modulo 2^32.
KV_WIDE_TARGET uint32_t laneSum(__m512i v) {
    __m256i half = _mm256_add_epi32(lowHalf(v), highHalf(v));
    __m128i quarter =
        _mm_add_epi32(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
    quarter = _mm_add_epi32(quarter, _mm_shuffle_epi32(quarter, _MM_SHUFFLE(1, 0, 3, 2)));
    quarter = _mm_add_epi32(quarter, _mm_shuffle_epi32(quarter, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(quarter));
}

// What decodeLineWide returns when the line goes on past the bytes it has.
constexpr size_t NO_LINE = SIZE_MAX - 1;

// Decodes the body of a stored line into plain in blocks of 64 stored bytes
// with AVX-512 (VBMI2 for the compress): a block never ends early, so no
// step waits for the one before.  A block of bytes from 0x80 up (ASCII
// text) is the key bytes applied in place; in any other, the digit after
// every escape byte becomes the byte it stands for and the escape bytes are
// squeezed out.  Loads are masked to the `size` bytes at stored and stores
// to the plain bytes, so nothing past them is read or written.
//
// With FindEnd false, the body is bytes CHECK_LENGTH to size - 1.  With
// FindEnd true, the line ends at its first line feed, found on the way
// (*lineLength gets its length with the line feed), and its body is bytes
// CHECK_LENGTH up to that line feed, without a carriage return just before
// it; NO_LINE when no line feed comes before size.  Chosen for speed: the
// line is read once, not searched and then decoded.  Stored bytes 0 and 1
// must not be a line feed.
//
// Returns the plain length, or SIZE_MAX when the body cannot be decoded.
// Needs size + 64 <= TABLE_SIZE and room for size - 1 bytes in plain; keys
// holds key bytes 0 to size + 63.
template <bool FindEnd>
KV_WIDE_TARGET size_t decodeLineWide(const unsigned char *stored, size_t size,
                                     const unsigned char *keys, unsigned char *plain, Sums &sums,
                                     size_t *lineLength) {
    const __m512i lineFeed = _mm512_set1_epi8('\n');
    const __m512i escape = _mm512_set1_epi8(static_cast<char>(ESCAPE));
    const __m512i carriageReturn = _mm512_set1_epi8('\r');
    const __m512i endOfFile = _mm512_set1_epi8(0x1A);
    const __m512i digitZero = _mm512_set1_epi8('0');
    const __m512i lastDigit = _mm512_set1_epi8(static_cast<char>(ESCAPE_COUNT - 1));
    const __m512i unescape = _mm512_loadu_si512(UNESCAPE_LANES.bytes);
    const __m512i lanes = _mm512_loadu_si512(LANE_NUMBERS.bytes);
    const __m512i ones = _mm512_set1_epi16(1);
    const __m512i zero = _mm512_setzero_si512();
    __m512i byteSums = zero;     // eight 64-bit lanes
    __m512i weightedSums = zero; // sixteen 32-bit lanes, modulo 2^32
    uint64_t bad = 0;
    uint64_t carry = 0; // the block before ended in an escape byte
    size_t w = 0;
    for (size_t r = CHECK_LENGTH;; r += WIDE_BLOCK) {
        if (r >= size) {
            if constexpr (FindEnd) return NO_LINE;
            break;
        }
        const size_t left = size - r;
        uint64_t body = left >= WIDE_BLOCK ? ~uint64_t{0}
                                           : _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(left));
        const __m512i block = _mm512_maskz_loadu_epi8(body, stored + r);
        bool last = left <= WIDE_BLOCK;
        if constexpr (FindEnd) {
            const uint64_t feeds = _mm512_mask_cmpeq_epi8_mask(body, block, lineFeed);
            const uint64_t returns = _mm512_mask_cmpeq_epi8_mask(body, block, carriageReturn);
            if (feeds != 0) {
                // The body stops at the line feed and before a carriage
                // return just before it.
                const auto at = static_cast<unsigned>(std::countr_zero(feeds));
                *lineLength = r + at + 1;
                body = _bzhi_u64(~uint64_t{0}, at);
                body &= ~(returns & (body ^ (body >> 1)));
                last = true;
            } else if (last) {
                return NO_LINE;
            } else if ((returns >> 63) != 0 && stored[r + WIDE_BLOCK] == '\n') {
                body &= ~(uint64_t{1} << 63); // the line feed opens the next block
            }
        }
        const __m512i key = _mm512_loadu_si512(keys + w);
        __mmask64 kept = body;
        auto count = static_cast<unsigned>(_mm_popcnt_u64(body));
        __m512i bytes;
        if ((carry | (body & ~_mm512_movepi8_mask(block))) == 0) {
            // Only bytes from 0x80 up, the common case (ASCII text): no
            // escape, no byte the encoder never writes, the lanes in place.
            bytes = _mm512_maskz_mov_epi8(kept, _mm512_xor_si512(block, key));
        } else {
            const uint64_t escapes = _mm512_mask_cmpeq_epi8_mask(body, block, escape);
            // The lane after each escape holds its digit; a lane past the
            // body reads as zero, which is no digit.
            const uint64_t digits = (escapes << 1) | carry;
            carry = escapes >> 63;
            const __m512i digit = _mm512_sub_epi8(block, digitZero);
            // Bytes the encoder never writes as they are, and escapes
            // without a digit.
            bad |= _mm512_mask_cmpeq_epi8_mask(body, block, carriageReturn) |
                   _mm512_mask_cmpeq_epi8_mask(body, block, endOfFile) |
                   _mm512_mask_cmpeq_epi8_mask(body, block, lineFeed) |
                   _mm512_mask_testn_epi8_mask(body, block, block) |
                   (digits & ~_mm512_cmple_epu8_mask(digit, lastDigit));
            const __m512i restored =
                _mm512_mask_mov_epi8(block, digits, _mm512_shuffle_epi8(unescape, digit));
            const uint64_t keep = body & ~escapes;
            count = static_cast<unsigned>(_mm_popcnt_u64(keep));
            kept = _bzhi_u64(~uint64_t{0}, count);
            bytes = _mm512_maskz_mov_epi8(
                kept, _mm512_xor_si512(_mm512_maskz_compress_epi8(keep, restored), key));
        }
        _mm512_mask_storeu_epi8(plain + w, kept, bytes);
        bad |= _mm512_mask_cmpeq_epi8_mask(kept, bytes, zero);
        // Position times byte: lane times byte, plus w times the bytes' sum
        // (below 2^32 in each 64-bit lane, so the upper halves stay zero;
        // the masked multiply, as GCC 12 warns about the unmasked one).
        const __m512i blockSums = _mm512_sad_epu8(bytes, zero);
        byteSums = _mm512_add_epi64(byteSums, blockSums);
        weightedSums = _mm512_add_epi32(
            weightedSums,
            _mm512_add_epi32(_mm512_madd_epi16(_mm512_maddubs_epi16(bytes, lanes), ones),
                             _mm512_maskz_mul_epu32(0xFF, blockSums,
                                                    _mm512_set1_epi64(static_cast<long long>(w)))));
        w += count;
        if (last) break;
    }
    // carry: the escape byte ends the body.
    if ((bad | carry) != 0) return SIZE_MAX;
    const uint32_t byteSum = laneSum(byteSums); // each 64-bit lane is below 2^32
    const uint32_t weighted = laneSum(weightedSums);
    sums.a = byteSum;
    sums.b = static_cast<uint32_t>(w) * byteSum - weighted;
    return w;
}

// Whether the processor and the system have what decodeLineWide needs:
// asked once, then one relaxed load per line (a function-local static
// would cost a call and a guard check on every line read).  Racing first
// callers compute the same answer.
std::atomic<int> wideState{-1}; // -1 not asked yet, else 0 or 1

bool askWideBlocks() {
    __builtin_cpu_init();
    const bool work = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") &&
                      __builtin_cpu_supports("popcnt");
    wideState.store(work ? 1 : 0, std::memory_order_relaxed);
    return work;
}

inline bool wideBlocksWork() {
    const int state = wideState.load(std::memory_order_relaxed);
    return state < 0 ? askWideBlocks() : state != 0;
}

#endif

// The body through decodeLineWide or decodeBody.
size_t decodeBlocks(bool wide, const unsigned char *stored, size_t end, const unsigned char *keys,
                    unsigned char *plain, Sums &sums) {
#if defined(KV_LINECODEC_WIDE)
    if (wide) return decodeLineWide<false>(stored, end, keys, plain, sums, nullptr);
#else
    (void)wide;
#endif
    return decodeBody(stored, end, keys, plain, sums);
}

// decodeBlocks with the key bytes of another transform parameter, made for
// this line only, on a stack kept out of the caller's frame.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
size_t
decodeWithKeys(bool wide, const unsigned char *stored, size_t end, uint32_t seed,
               unsigned char *plain, Sums &sums) {
    KeyTable keys;
    fillKeys(seed, keys.bytes, (end + WIDE_BLOCK + BLOCK - 1) / BLOCK * BLOCK);
    return decodeBlocks(wide, stored, end, keys.bytes, plain, sums);
}
#endif

#if defined(__SSE2__)
// Encodes the leading plain bytes of a line of `length` bytes 16 at a time
// (the same steps as decodeBody the other way round: a block without a byte
// to escape is one addition and one store; at such a byte the block ends
// after its escape).  Stops before the last 16 bytes, or when the stored
// form could reach bodyEnd.  Writes from out[w]; *r and *w say where it
// stopped, sums take the bytes done.  keys holds key bytes 0 to length - 1.
void encodeBlocks(const unsigned char *plain, size_t length, const unsigned char *keys,
                  unsigned char *out, size_t bodyEnd, size_t *r, size_t *w, Sums &sums) {
    const __m128i zero = _mm_setzero_si128();
    LaneSums laneSums;
    size_t p = *r;
    size_t q = *w;
    while (p + BLOCK <= length && q + BLOCK + 1 <= bodyEnd) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(plain + p));
        const __m128i combined =
            _mm_xor_si128(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i *>(keys + p)));
        __m128i special = _mm_cmpeq_epi8(combined, zero);
        for (size_t i = 1; i < ESCAPE_COUNT; ++i)
            special = _mm_or_si128(
                special, _mm_cmpeq_epi8(combined, _mm_set1_epi8(static_cast<char>(ESCAPED[i]))));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + q), combined);
        // The bytes up to the first one to escape, that one included (all
        // 16 when none).
        const auto count = static_cast<size_t>(
            std::countr_zero(static_cast<uint32_t>(_mm_movemask_epi8(special)) | 0x8000u) + 1);
        laneSums.add(_mm_and_si128(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i *>(
                                              LANE_MASKS + BLOCK - count))),
                     p);
        const auto last = static_cast<unsigned char>(plain[p + count - 1] ^ keys[p + count - 1]);
        const int digit = escapeDigit(last);
        p += count;
        q += count;
        if (digit >= 0) {
            out[q - 1] = ESCAPE;
            out[q++] = static_cast<unsigned char>('0' + digit);
        }
    }
    sums = laneSums.running(p, 0, 0);
    *r = p;
    *w = q;
}
#endif

// Decodes the body of a stored line, bytes CHECK_LENGTH to end - 1, into
// plain one byte at a time, never writing at capacity - 1 or past it.
// Returns the plain length, or SIZE_MAX when the body cannot be decoded or
// the plain line does not fit.
size_t decodeBytes(const unsigned char *stored, size_t end, uint32_t seed, unsigned char *plain,
                   uint32_t capacity, Sums &sums) {
    size_t w = 0;
    KeyBytes keys{seed};
    for (size_t r = CHECK_LENGTH; r < end;) {
        unsigned char c = stored[r++];
        if (c == ESCAPE) {
            unsigned digit = r < end ? stored[r++] - unsigned{'0'} : 99u;
            if (digit >= ESCAPE_COUNT) return SIZE_MAX;
            c = ESCAPED[digit];
        } else if (escapeDigit(c) >= 0) {
            return SIZE_MAX; // a byte the encoder never writes as it is
        }
        unsigned char b = static_cast<unsigned char>(c ^ keys.at(w));
        if (b == 0 || w + 1 >= capacity) return SIZE_MAX;
        sums.add(b);
        plain[w++] = b;
    }
    return w;
}

} // namespace

uint32_t defaultEncodeLine(const char *plain, char *out, uint32_t capacity, uint32_t transform,
                           uint64_t) {
    if (out != nullptr && capacity > 0) out[0] = '\0';
    if (plain == nullptr || out == nullptr || plain[0] == '\0') return PROFILE_STATUS_BAD_PARAMS;
    // Room for the check characters, the final line feed and the zero.
    if (capacity < CHECK_LENGTH + 2) return PROFILE_STATUS_BAD_PARAMS;
    const size_t bodyEnd = capacity - 2; // the line feed and the zero follow
    const uint32_t seed = seedOf(transform);
    const auto *bytes = reinterpret_cast<const unsigned char *>(plain);
    Sums sums;
    size_t w = CHECK_LENGTH;
    size_t length = 0;
#if defined(__SSE2__)
    if (transform == PROFILE_DEFAULT_TRANSFORM && widestBlock() >= BLOCK) {
        const size_t plainLength = std::strlen(plain);
        if (plainLength <= TABLE_SIZE)
            encodeBlocks(bytes, plainLength, DEFAULT_KEYS.bytes,
                         reinterpret_cast<unsigned char *>(out), bodyEnd, &length, &w, sums);
    }
#endif
    uint32_t word = keyWord(seed, length / 4) >> (8 * (length % 4));
    for (const unsigned char *p = bytes + length; *p != 0; ++p, ++length) {
        if (length % 4 == 0) word = keyWord(seed, length / 4);
        unsigned char c = static_cast<unsigned char>(*p ^ static_cast<unsigned char>(word));
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

uint32_t lineCodecDecode(const char *stored, size_t end, char *out, uint32_t capacity,
                         uint32_t transform, size_t *plainLength) {
    if (plainLength != nullptr) *plainLength = 0;
    if (out == nullptr || capacity == 0) return PROFILE_STATUS_BAD_PARAMS;
    out[0] = '\0';
    if (stored == nullptr || end <= CHECK_LENGTH) return PROFILE_STATUS_BAD_PARAMS;
    const uint32_t limit = widestBlock();
    const auto *bytes = reinterpret_cast<const unsigned char *>(stored);
    auto *plain = reinterpret_cast<unsigned char *>(out);
    const uint32_t seed = transform == PROFILE_DEFAULT_TRANSFORM ? DEFAULT_SEED : seedOf(transform);
    Sums sums;
    size_t length = 0;
#if defined(__SSE2__)
#if defined(KV_LINECODEC_WIDE)
    const bool wide = limit >= WIDE_BLOCK && wideBlocksWork();
#else
    const bool wide = false;
#endif
    // Blocks where the key tables cover the body and out has room for any
    // plain line it may give (which is never longer than the body), and for
    // 16-byte blocks, for 16 bytes of scratch past it; otherwise bytes.
    const size_t room = wide ? end - 1 : end + BLOCK;
    if (limit >= BLOCK && end + WIDE_BLOCK <= TABLE_SIZE && room <= capacity) {
        length = transform == PROFILE_DEFAULT_TRANSFORM
                     ? decodeBlocks(wide, bytes, end, DEFAULT_KEYS.bytes, plain, sums)
                     : decodeWithKeys(wide, bytes, end, seed, plain, sums);
    } else {
        length = decodeBytes(bytes, end, seed, plain, capacity, sums);
    }
#else
    (void)limit;
    length = decodeBytes(bytes, end, seed, plain, capacity, sums);
#endif
    if (length == SIZE_MAX) return undecodable(out);
    out[length] = '\0';
    char check[CHECK_LENGTH];
    checkCharacters(seed, sums, length, check);
    if (check[0] != stored[0] || check[1] != stored[1]) return undecodable(out);
    if (plainLength != nullptr) *plainLength = length;
    return 0;
}

uint32_t lineCodecDecodeNext(const char *bytes, size_t available, char *out, uint32_t capacity,
                             uint32_t transform, size_t *lineLength, size_t *plainLength) {
    *lineLength = 0;
    *plainLength = 0;
    if (out == nullptr || capacity == 0) return PROFILE_STATUS_BAD_PARAMS;
    out[0] = '\0';
    if (bytes == nullptr) return PROFILE_STATUS_BAD_PARAMS;
#if defined(KV_LINECODEC_WIDE)
    if (transform == PROFILE_DEFAULT_TRANSFORM && available > CHECK_LENGTH &&
        available + WIDE_BLOCK <= TABLE_SIZE && available <= capacity &&
        widestBlock() >= WIDE_BLOCK && wideBlocksWork() && bytes[0] != '\n' && bytes[1] != '\n') {
        // The line found and decoded in one pass; room: a plain line is no
        // longer than the bytes at hand less its check characters.
        Sums sums;
        size_t length = decodeLineWide<true>(
            reinterpret_cast<const unsigned char *>(bytes), available, DEFAULT_KEYS.bytes,
            reinterpret_cast<unsigned char *>(out), sums, lineLength);
        if (length == NO_LINE) return PROFILE_STATUS_BAD_PARAMS;
        if (length == SIZE_MAX) return undecodable(out);
        out[length] = '\0';
        char check[CHECK_LENGTH];
        checkCharacters(DEFAULT_SEED, sums, length, check);
        if (check[0] != bytes[0] || check[1] != bytes[1]) return undecodable(out);
        *plainLength = length;
        return 0;
    }
#endif
    const void *feed = std::memchr(bytes, '\n', available);
    if (feed == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    *lineLength = static_cast<size_t>(static_cast<const char *>(feed) - bytes) + 1;
    size_t end = *lineLength - 1;
    if (end > 0 && bytes[end - 1] == '\r') --end;
    return lineCodecDecode(bytes, end, out, capacity, transform, plainLength);
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
    return lineCodecDecode(stored, end, out, capacity, transform, nullptr);
}

#ifdef KVINIT64_TESTABLE
uint32_t lineCodecSetBlockLimit(uint32_t bytes) { return blockLimit.exchange(bytes); }
#endif
