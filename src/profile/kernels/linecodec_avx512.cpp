// The built-in line encoding in blocks of 64 bytes with AVX-512 (BW for the
// byte lanes, VBMI for the byte class lookup, VBMI2 for the compress) and
// BMI2.  This file is compiled with
// those instruction sets where the build has the kernel (KV_KERNEL_AVX512,
// see dispatch.h) and is empty elsewhere; its code runs only after the
// dispatch found them.  It calls no inline function of a shared header but
// the static ones of scan_block.h, of which it compiles its own copy, so
// nothing compiled here is used by another file.
#include "profile/kernels/linecodec_kernels.h"
#include "profile/kernels/scan_block.h"

#include <cstddef>

#if defined(KV_KERNEL_AVX512)
#include <immintrin.h>

using namespace linecodec;

namespace {

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

// 0 to 63: the position of each lane in a block.
constexpr WideLanes LANE_NUMBERS = [] {
    WideLanes table{};
    for (size_t i = 0; i < WIDE_BLOCK; ++i) table.bytes[i] = static_cast<unsigned char>(i);
    return table;
}();

// The lower and upper 32 bytes of a vector (masked extracts: GCC 12 warns
// about the undefined operand of the unmasked ones and of the cast).
__m256i lowHalf(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xF, v, 0); }
__m256i highHalf(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xF, v, 1); }

// The sums of the sixteen 32-bit lanes of a, b and c, modulo 2^32, as
// lanes 0, 1 and 2 of the result (lane 3 is zero): one tree for the three,
// fewer steps than three reductions apart, and LineSums in one store.
static_assert(offsetof(LineSums, bytes) == 0 && offsetof(LineSums, weighted) == 4 &&
              offsetof(LineSums, positioned) == 8 && sizeof(LineSums) == 16 &&
              alignof(LineSums) == 16);
[[gnu::always_inline]] inline __m128i laneSums(__m512i a, __m512i b, __m512i c) {
    const __m256i a4 = _mm256_add_epi32(lowHalf(a), highHalf(a));
    const __m256i b4 = _mm256_add_epi32(lowHalf(b), highHalf(b));
    const __m256i c4 = _mm256_add_epi32(lowHalf(c), highHalf(c));
    const __m256i zero = _mm256_setzero_si256();
    // [a0+a2, b0+b2, a1+a3, b1+b3] and [c0+c2, 0, c1+c3, 0] in each 128-bit half.
    const __m256i ab =
        _mm256_add_epi32(_mm256_unpacklo_epi32(a4, b4), _mm256_unpackhi_epi32(a4, b4));
    const __m256i cz =
        _mm256_add_epi32(_mm256_unpacklo_epi32(c4, zero), _mm256_unpackhi_epi32(c4, zero));
    const __m256i abc =
        _mm256_add_epi32(_mm256_unpacklo_epi64(ab, cz), _mm256_unpackhi_epi64(ab, cz));
    return _mm_add_epi32(_mm256_castsi256_si128(abc), _mm256_extracti128_si256(abc, 1));
}

// The three sums of a line's check, block by block: the byte sums in eight
// 64-bit lanes, the others in sixteen 32-bit lanes, modulo 2^32.
struct WideSums {
    const __m512i lanes = _mm512_loadu_si512(LANE_NUMBERS.bytes);
    const __m512i ones = _mm512_set1_epi16(1);
    __m512i bytes = _mm512_setzero_si512();
    __m512i positioned = _mm512_setzero_si512();
    __m512i weighted = _mm512_setzero_si512();

    // Adds a block of plain bytes (zeros past the line) that starts at
    // plain position w.  Position times byte: lane times byte, plus w times
    // the bytes' sum (below 2^32 in each 64-bit lane, so the upper halves
    // stay zero; the masked multiply, as GCC 12 warns about the unmasked
    // one).  Weight times byte: bytes times signed bytes in pairs, then the
    // pairs in fours.
    [[gnu::always_inline]] void add(__m512i plain, size_t w) {
        const __m512i blockSums = _mm512_sad_epu8(plain, _mm512_setzero_si512());
        bytes = _mm512_add_epi64(bytes, blockSums);
        positioned = _mm512_add_epi32(
            positioned,
            _mm512_add_epi32(_mm512_madd_epi16(_mm512_maddubs_epi16(plain, lanes), ones),
                             _mm512_maskz_mul_epu32(0xFF, blockSums,
                                                    _mm512_set1_epi64(static_cast<long long>(w)))));
        weighted = _mm512_add_epi32(
            weighted,
            _mm512_madd_epi16(_mm512_maddubs_epi16(plain, _mm512_loadu_si512(BYTE_WEIGHTS.at + w)),
                              ones));
    }

    // LineSums in one store; each 64-bit lane of the byte sums is below
    // 2^32, so as 32-bit lanes their upper halves add nothing.
    [[gnu::always_inline]] void store(LineSums &sums) const {
        _mm_store_si128(reinterpret_cast<__m128i *>(&sums), laneSums(bytes, weighted, positioned));
    }
};

uint64_t lowBits(unsigned count) { return _bzhi_u64(~uint64_t{0}, count); }

// The split's class of each byte below 0x80 (format.h), from its two
// nibble tables.
struct AsciiClasses {
    alignas(WIDE_BLOCK) unsigned char bytes[2 * WIDE_BLOCK];
};
constexpr AsciiClasses ASCII_CLASSES = [] {
    AsciiClasses table{};
    for (size_t c = 0; c < 2 * WIDE_BLOCK; ++c)
        table.bytes[c] = PROFILE_SCAN_NIBBLES.low[c & 0xF] & PROFILE_SCAN_NIBBLES.high[c >> 4];
    return table;
}();

// What decodeCommonLine returns for a line it leaves to the general loop.
constexpr size_t NOT_COMMON = SIZE_MAX - 2;

// decodeWide's common line, found and decoded with fewer steps: one whose
// body bytes are all from 0x80 up (the stored form of ASCII text without a
// NUL byte) and that ends in a line feed in reach.  No byte is escaped, so
// plain byte i is stored byte CHECK_LENGTH + i: one index serves the stored
// bytes, the key bytes, the plain bytes and the weights.  Any other line
// (an escape, a carriage return, a byte below 0x80 or a NUL byte in the
// plain line) gives NOT_COMMON, and the general loop takes it from its
// start.  Chosen for speed: nearly every line of a profile file is such a
// line, and this loop keeps few values alive from block to block.
[[gnu::always_inline]] inline size_t decodeCommonLine(const unsigned char *stored, size_t size,
                                                      const unsigned char *keys,
                                                      unsigned char *plain, LineSums &sums,
                                                      size_t *lineLength, ProfileLineScan *scan) {
    const __m512i lineFeed = _mm512_set1_epi8('\n');
    const __m512i zero = _mm512_setzero_si512();
    const __m512i refusedClasses = _mm512_set1_epi8(static_cast<char>(PROFILE_SCAN_REFUSED));
    const __m512i classesLow = _mm512_load_si512(ASCII_CLASSES.bytes);
    const __m512i classesHigh = _mm512_load_si512(ASCII_CLASSES.bytes + WIDE_BLOCK);
    WideSums lineSums;
    ProfileLineScan lineScan{true, SIZE_MAX, SIZE_MAX, 0, 0};
    uint64_t blankBefore = 0; // the plain byte before the block is a blank
    const unsigned char *body = stored + CHECK_LENGTH;
    const size_t bodySize = size - CHECK_LENGTH; // size > CHECK_LENGTH
    for (size_t i = 0;; i += WIDE_BLOCK) {
        if (i >= bodySize) return LINE_CODEC_NO_LINE;
        const size_t left = bodySize - i;
        const uint64_t inReach =
            left >= WIDE_BLOCK ? ~uint64_t{0} : lowBits(static_cast<unsigned>(left));
        const __m512i block = _mm512_maskz_loadu_epi8(inReach, body + i);
        const uint64_t feeds = _mm512_mask_cmpeq_epi8_mask(inReach, block, lineFeed);
        uint64_t kept = inReach;
        if (feeds != 0) {
            const auto at = static_cast<unsigned>(__builtin_ctzll(feeds));
            *lineLength = CHECK_LENGTH + i + at + 1;
            kept = lowBits(at);
        } else if (left <= WIDE_BLOCK) {
            return LINE_CODEC_NO_LINE;
        }
        if ((kept & ~_mm512_movepi8_mask(block)) != 0) return NOT_COMMON;
        const __m512i bytes =
            _mm512_maskz_mov_epi8(kept, _mm512_xor_si512(block, _mm512_loadu_si512(keys + i)));
        // A whole store where the room allows (see decodeWide).
        if (i + WIDE_BLOCK < size)
            _mm512_storeu_si512(plain + i, bytes);
        else
            _mm512_mask_storeu_epi8(plain + i, kept, bytes);
        // The plain bytes of a common line are below 0x80: one lookup in a
        // table of 128 classes; the lanes past the line hold zeros.
        const __m512i classes = _mm512_permutex2var_epi8(classesLow, bytes, classesHigh);
        const uint64_t blanks = _mm512_movepi8_mask(classes);
        const uint64_t blockSigns = _mm512_movepi8_mask(_mm512_add_epi8(classes, classes));
        // A line feed that ends the plain line is not refused: a line that
        // ends in one then takes no detour here.
        const uint64_t ownFeed = (feeds >> 1) & _mm512_mask_cmpeq_epi8_mask(kept, bytes, lineFeed);
        const uint64_t refused =
            _mm512_mask_test_epi8_mask(kept & ~ownFeed, classes, refusedClasses);
        // A NUL byte makes the line undecodable: the general loop says so.
        if (refused != 0 && _mm512_mask_cmpeq_epi8_mask(kept, bytes, zero) != 0) return NOT_COMMON;
        lineScan.doubled |= (blanks & ((blanks << 1) | blankBefore)) != 0;
        blankBefore = blanks >> (WIDE_BLOCK - 1);
        scanNoteBlock(lineScan, blanks, blockSigns, refused, i);
        lineSums.add(bytes, i);
        if (feeds != 0) {
            lineSums.store(sums);
            *scan = lineScan;
            return i + static_cast<size_t>(_mm_popcnt_u64(kept));
        }
    }
}

// A block never ends early, so no step waits for the one before.  A block
// of bytes from 0x80 up (ASCII text) is the key bytes applied in place; in
// any other, the digit after every escape byte becomes the byte it stands
// for and the escape bytes are squeezed out.  Loads are masked to the `size`
// bytes at stored and stores to the plain bytes.  Finding the end on the
// way is chosen for speed: the line is read once, not searched and then
// decoded.
template <bool FindEnd>
[[gnu::noinline]] size_t decodeWide(const unsigned char *stored, size_t size,
                                    const unsigned char *keys, unsigned char *plain, LineSums &sums,
                                    size_t *lineLength, ProfileLineScan *scan) {
    const __m512i lineFeed = _mm512_set1_epi8('\n');
    const __m512i escape = _mm512_set1_epi8(static_cast<char>(ESCAPE));
    const __m512i carriageReturn = _mm512_set1_epi8('\r');
    const __m512i endOfFile = _mm512_set1_epi8(0x1A);
    const __m512i digitZero = _mm512_set1_epi8('0');
    const __m512i lastDigit = _mm512_set1_epi8(static_cast<char>(ESCAPE_COUNT - 1));
    const __m512i unescape = _mm512_loadu_si512(UNESCAPE_LANES.bytes);
    const __m512i zero = _mm512_setzero_si512();
    WideSums lineSums;
    // The split's scan of the plain bytes (format.h), with the line found.
    [[maybe_unused]] const __m512i scanLow = _mm512_maskz_broadcast_i32x4(
        0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i *>(PROFILE_SCAN_NIBBLES.low)));
    [[maybe_unused]] const __m512i scanHigh = _mm512_maskz_broadcast_i32x4(
        0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i *>(PROFILE_SCAN_NIBBLES.high)));
    [[maybe_unused]] const __m512i nibble = _mm512_set1_epi8(0x0F);
    [[maybe_unused]] const __m512i refusedClasses =
        _mm512_set1_epi8(static_cast<char>(PROFILE_SCAN_REFUSED));
    [[maybe_unused]] ProfileLineScan lineScan{true, SIZE_MAX, SIZE_MAX, 0, 0};
    [[maybe_unused]] uint64_t blankBefore = 0; // the plain byte before the block is a blank
    uint64_t bad = 0;
    uint64_t carry = 0; // the block before ended in an escape byte
    size_t w = 0;
    for (size_t r = CHECK_LENGTH;; r += WIDE_BLOCK) {
        if (r >= size) {
            if constexpr (FindEnd) return LINE_CODEC_NO_LINE;
            break;
        }
        const size_t left = size - r;
        uint64_t body = left >= WIDE_BLOCK ? ~uint64_t{0} : lowBits(static_cast<unsigned>(left));
        const __m512i block = _mm512_maskz_loadu_epi8(body, stored + r);
        bool last = left <= WIDE_BLOCK;
        if constexpr (FindEnd) {
            const uint64_t feeds = _mm512_mask_cmpeq_epi8_mask(body, block, lineFeed);
            const uint64_t returns = _mm512_mask_cmpeq_epi8_mask(body, block, carriageReturn);
            if (feeds != 0) {
                // The body stops at the line feed and before a carriage
                // return just before it.
                const auto at = static_cast<unsigned>(__builtin_ctzll(feeds));
                *lineLength = r + at + 1;
                body = lowBits(at);
                body &= ~(returns & (body ^ (body >> 1)));
                last = true;
            } else if (last) {
                return LINE_CODEC_NO_LINE;
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
            kept = lowBits(count);
            bytes = _mm512_maskz_mov_epi8(
                kept, _mm512_xor_si512(_mm512_maskz_compress_epi8(keep, restored), key));
        }
        // A whole store where the room allows: a later load of the plain
        // bytes then takes them from it rather than waiting until it has
        // left the processor, as it must after a masked store.
        if (w + WIDE_BLOCK < size)
            _mm512_storeu_si512(plain + w, bytes);
        else
            _mm512_mask_storeu_epi8(plain + w, kept, bytes);
        bad |= _mm512_mask_cmpeq_epi8_mask(kept, bytes, zero);
        if constexpr (FindEnd) {
            // The plain bytes are one run from block to block.
            const __m512i classes = _mm512_and_si512(
                _mm512_shuffle_epi8(scanLow, _mm512_and_si512(bytes, nibble)),
                _mm512_shuffle_epi8(scanHigh,
                                    _mm512_and_si512(_mm512_srli_epi16(bytes, 4), nibble)));
            const uint64_t blanks = _mm512_movepi8_mask(classes) & kept;
            const uint64_t signs = _mm512_movepi8_mask(_mm512_add_epi8(classes, classes)) & kept;
            const uint64_t refused = _mm512_mask_test_epi8_mask(kept, classes, refusedClasses);
            lineScan.doubled |= (blanks & ((blanks << 1) | blankBefore)) != 0;
            if (count != 0) blankBefore = (blanks >> (count - 1)) & 1;
            scanNoteBlock(lineScan, blanks, signs, refused, w);
        }
        lineSums.add(bytes, w);
        w += count;
        if (last) break;
    }
    // carry: the escape byte ends the body.
    if ((bad | carry) != 0) return SIZE_MAX;
    lineSums.store(sums);
    if constexpr (FindEnd) *scan = lineScan;
    return w;
}

} // namespace

size_t lineDecodeAvx512(const unsigned char *stored, size_t size, const unsigned char *keys,
                        unsigned char *plain, LineSums &sums, size_t *lineLength,
                        ProfileLineScan *scan) {
    if (lineLength == nullptr)
        return decodeWide<false>(stored, size, keys, plain, sums, nullptr, nullptr);
    // The common line in a loop of its own, apart from the general one: it
    // then keeps its values in registers.
    const size_t length = decodeCommonLine(stored, size, keys, plain, sums, lineLength, scan);
    return length != NOT_COMMON
               ? length
               : decodeWide<true>(stored, size, keys, plain, sums, lineLength, scan);
}

#endif
