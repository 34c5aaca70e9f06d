// The built-in line decoding in blocks of 32 bytes with AVX2.  This file is
// compiled with AVX2 where the build has the kernel (KV_KERNEL_AVX2, see
// dispatch.h) and is empty elsewhere; its code runs only after the dispatch
// found AVX2.  It calls no inline function of a shared header but the
// static ones of scan_block.h, of which it compiles its own copy, so nothing
// compiled here is used by another file.
#include "profile/kernels/linecodec_kernels.h"
#include "profile/kernels/scan_block.h"

#if defined(KV_KERNEL_AVX2)
#include <immintrin.h>

using namespace linecodec;

namespace {

constexpr size_t LANES = 32; // bytes of a block

struct Lanes {
    alignas(LANES) unsigned char bytes[2 * LANES];
};

// 32 bytes of ones, then 32 zero bytes: the 32 bytes from LANES - n keep
// the first n lanes of a block.
constexpr Lanes KEEP = [] {
    Lanes table{};
    for (size_t i = 0; i < LANES; ++i) table.bytes[i] = 0xFF;
    return table;
}();

// 0 to 31: the position of each lane in a block.
constexpr Lanes LANE_NUMBERS = [] {
    Lanes table{};
    for (size_t i = 0; i < LANES; ++i) table.bytes[i] = static_cast<unsigned char>(i);
    return table;
}();

// The check's sums of a line taken a block at a time, kept in lanes and put
// together once at the end.
struct BlockSums {
    __m256i bytes = _mm256_setzero_si256();      // four 64-bit lanes
    __m256i positioned = _mm256_setzero_si256(); // eight 32-bit lanes, modulo 2^32
    __m256i weighted = _mm256_setzero_si256();   // eight 32-bit lanes, modulo 2^32
    __m256i at = _mm256_setzero_si256();         // the block's plain position, in 64-bit lanes

    // Adds a block whose lane i holds the plain byte at position at + i
    // (lanes that do not count hold zero).  Position times byte is lane
    // times byte plus `at` times the bytes' sum (below 2^32 in each 64-bit
    // lane, so the upper halves stay zero); weight times byte is bytes times
    // signed bytes in pairs, then the pairs in fours.
    [[gnu::always_inline]] inline void add(__m256i block, size_t w, __m256i lanes) {
        const __m256i ones = _mm256_set1_epi16(1);
        const __m256i blockSums = _mm256_sad_epu8(block, _mm256_setzero_si256());
        bytes = _mm256_add_epi64(bytes, blockSums);
        positioned = _mm256_add_epi32(
            positioned,
            _mm256_add_epi32(_mm256_madd_epi16(_mm256_maddubs_epi16(block, lanes), ones),
                             _mm256_mul_epu32(blockSums, at)));
        const __m256i weights =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(BYTE_WEIGHTS.at + w));
        weighted = _mm256_add_epi32(weighted,
                                    _mm256_madd_epi16(_mm256_maddubs_epi16(block, weights), ones));
    }
    // Moves the block's position on by `count` bytes.
    [[gnu::always_inline]] inline void advance(size_t count) {
        at = _mm256_add_epi64(at, _mm256_set1_epi64x(static_cast<long long>(count)));
    }

    // The sums, with those of bytes taken one at a time added: the three
    // vectors folded together, so that the line pays for one reduction.
    [[gnu::always_inline]] inline LineSums total(const LineSums &aside) const {
        // Lanes 0 and 2 of each 128-bit half: the byte sums (the odd lanes
        // are zero); the positioned and weighted sums interleaved.
        const __m256i mixed = _mm256_add_epi32(_mm256_unpacklo_epi32(positioned, weighted),
                                               _mm256_unpackhi_epi32(positioned, weighted));
        __m128i pw = _mm_add_epi32(_mm256_castsi256_si128(mixed),
                                   _mm256_extracti128_si256(mixed, 1)); // p w p w
        pw = _mm_add_epi32(pw, _mm_unpackhi_epi64(pw, pw));
        __m128i b =
            _mm_add_epi64(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1));
        b = _mm_add_epi64(b, _mm_unpackhi_epi64(b, b));
        LineSums sums;
        sums.bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(b)) + aside.bytes;
        sums.positioned = static_cast<uint32_t>(_mm_cvtsi128_si32(pw)) + aside.positioned;
        sums.weighted = static_cast<uint32_t>(_mm_extract_epi32(pw, 1)) + aside.weighted;
        return sums;
    }
};

// The split's scan of the plain bytes (format.h), a block at a time.
struct BlockScan {
    __m256i low = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(PROFILE_SCAN_NIBBLES.low)));
    __m256i high = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(PROFILE_SCAN_NIBBLES.high)));
    ProfileLineScan scan{true, SIZE_MAX, SIZE_MAX, 0, 0};
    uint32_t blankBefore = 0; // the plain byte before the block is a blank
    uint32_t nuls = 0;        // nonzero when a plain byte is NUL

    // Adds the first `count` plain bytes of a block at plain position w;
    // the byte after them, when count is below 32, is no blank.
    [[gnu::always_inline]] inline void add(__m256i bytes, size_t w, size_t count) {
        const __m256i nibble = _mm256_set1_epi8(0x0F);
        const __m256i classes = _mm256_and_si256(
            _mm256_shuffle_epi8(low, _mm256_and_si256(bytes, nibble)),
            _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble)));
        const uint32_t keep = count < LANES ? (1u << count) - 1 : ~0u;
        const uint32_t blanks = static_cast<uint32_t>(_mm256_movemask_epi8(classes)) & keep;
        const uint32_t signs =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_add_epi8(classes, classes))) & keep;
        const uint32_t refused =
            ~static_cast<uint32_t>(_mm256_movemask_epi8(
                _mm256_cmpeq_epi8(_mm256_and_si256(classes, _mm256_set1_epi8(PROFILE_SCAN_REFUSED)),
                                  _mm256_setzero_si256()))) &
            keep;
        // The NUL bit moved to the top of its byte (the bits shifted in from
        // the byte below stay under it).
        nuls |= static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_slli_epi16(classes, 2))) & keep;
        scan.doubled |= blanks & ((blanks << 1) | blankBefore);
        blankBefore = count < LANES ? 0 : blanks >> 31;
        scanNoteBlock(scan, blanks, signs, refused, w);
    }
};

// The bytes a block stops at but 0x1A, by their low four bits, and 0x80
// (which no byte below 0x80 equals) for the other low halves: a byte below
// 0x80 is a stop when it equals the entry of its low half.
struct StopLanes {
    alignas(LANES) unsigned char bytes[LANES];
};
constexpr StopLanes STOP_BYTES = [] {
    StopLanes table{};
    for (auto &entry : table.bytes) entry = 0x80;
    const unsigned char stops[] = {0, '\n', '\r', ESCAPE};
    for (size_t half = 0; half < 2; ++half)
        for (unsigned char stop : stops) table.bytes[half * BLOCK + (stop & 0x0F)] = stop;
    return table;
}();
static_assert(('\n' & 0x0F) == (0x1A & 0x0F), "0x1A is looked for apart");

// A block of bytes from 0x80 up (ASCII text) is one xor of key bytes and
// one store; elsewhere the block ends at the first byte the encoder never
// writes as it is (NUL, line feed, carriage return, 0x1A) or the escape
// byte, and at an escape the next block starts after its digit.  With
// FindEnd the line ends at its first line feed, found on the way: the line
// is read once, not searched and then decoded; the first byte below 0x80 of
// a block is the line feed in a line of ASCII text, which is told apart
// from the rest first.  A plain NUL (a stored byte equal to its key byte)
// shows in the split's scan with FindEnd, else in the least plain byte.
// Returns SIZE_MAX for a body that cannot be decoded; with FindEnd that,
// and a line that goes on near `size`, leave *lineLength at 0 (the caller
// then takes the line the general way, which says what it is).  Without
// FindEnd the last bytes go through a copy followed by NUL bytes, which end
// the block there, so that nothing at or past `size` is read.
template <bool FindEnd>
size_t decodeBlocks(const unsigned char *stored, size_t size, const unsigned char *keys,
                    unsigned char *plain, LineSums &sums, size_t *lineLength,
                    ProfileLineScan *scan) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i *>(LANE_NUMBERS.bytes));
    unsigned char last[FindEnd ? 1 : 2 * LANES];
    BlockSums blockSums;
    [[maybe_unused]] BlockScan blockScan;
    LineSums aside; // of the escaped bytes, taken one at a time
    [[maybe_unused]] __m256i least = _mm256_set1_epi8(-1);
    size_t r = CHECK_LENGTH;
    size_t w = 0;
    // Takes the plain bytes of the block that `kept` marks, its first
    // `count` (all of them at 32).
    auto take = [&](__m256i bytes, __m256i kept, size_t count) __attribute__((always_inline)) {
        const __m256i counted = count < LANES ? _mm256_and_si256(bytes, kept) : bytes;
        if constexpr (FindEnd)
            blockScan.add(bytes, w, count);
        else
            least = _mm256_min_epu8(
                least,
                count < LANES ? _mm256_or_si256(bytes, _mm256_andnot_si256(kept, least)) : bytes);
        blockSums.add(counted, w, lanes);
    };
    for (;;) {
        const unsigned char *from = stored + r;
        if (r + LANES > size) {
            // A line that goes on near the end of the bytes at hand is left
            // to the caller: it comes once a read block, and so the search
            // needs no copy.
            if constexpr (FindEnd) {
                return SIZE_MAX;
            } else {
                if (r >= size) break;
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(last), zero);
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(last + LANES), zero);
                for (size_t i = 0; i < size - r; ++i)
                    last[i] = stored[r + i]; // no shared inline copy
                from = last;
            }
        }
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
        const __m256i bytes = _mm256_xor_si256(
            block, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(keys + w)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(plain + w), bytes);
        // Every byte the block must stop at is below 0x80.
        const auto low = ~static_cast<uint32_t>(_mm256_movemask_epi8(block));
        uint32_t special = low & (0u - low); // the line feed that ends a line of text
        if (low != 0 && (!FindEnd || from[__builtin_ctz(low)] != '\n')) {
            const __m256i stopBytes =
                _mm256_load_si256(reinterpret_cast<const __m256i *>(STOP_BYTES.bytes));
            const __m256i stops =
                _mm256_or_si256(_mm256_cmpeq_epi8(block, _mm256_shuffle_epi8(stopBytes, block)),
                                _mm256_cmpeq_epi8(block, _mm256_set1_epi8(0x1A)));
            special = static_cast<uint32_t>(_mm256_movemask_epi8(stops));
        }
        if (special == 0) {
            take(bytes, zero, LANES);
            blockSums.advance(LANES);
            r += LANES;
            w += LANES;
            continue;
        }
        const auto count = static_cast<size_t>(__builtin_ctz(special));
        const __m256i kept =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(KEEP.bytes + LANES - count));
        take(bytes, kept, count);
        const size_t at = r + count;
        w += count;
        const unsigned char stop = from[count];
        if constexpr (FindEnd) {
            // The body ends at the line feed, or at a carriage return just
            // before it.
            if (stop == '\n' || (stop == '\r' && at + 1 < size && stored[at + 1] == '\n')) {
                *lineLength = at + (stop == '\n' ? 1 : 2);
                break;
            }
            if (at + 1 >= size) return SIZE_MAX; // the end, or an escape's digit, lies past size
        } else {
            if (at >= size) break;               // the end of the body
            if (at + 1 >= size) return SIZE_MAX; // an escape without its digit
        }
        // An escape and its digit.
        const uint32_t unescaped = UNESCAPED.of[stored[at + 1]];
        const auto b = static_cast<unsigned char>(unescaped ^ keys[w]);
        if (stop != ESCAPE || (unescaped >> 8) != 0 || b == 0) return SIZE_MAX;
        plain[w] = b;
        aside.bytes += b;
        aside.positioned += static_cast<uint32_t>(w) * b;
        aside.weighted += static_cast<uint32_t>(static_cast<int32_t>(BYTE_WEIGHTS.at[w])) * b;
        ++w;
        r = at + 2;
        blockSums.advance(count + 1);
    }
    bool nul = false; // a plain NUL
    if constexpr (FindEnd)
        nul = blockScan.nuls != 0;
    else
        nul = _mm256_movemask_epi8(_mm256_cmpeq_epi8(least, zero)) != 0;
    if (nul) {
        if constexpr (FindEnd) *lineLength = 0;
        return SIZE_MAX;
    }
    sums = blockSums.total(aside);
    if constexpr (FindEnd) *scan = blockScan.scan;
    return w;
}

} // namespace

size_t lineDecodeAvx2(const unsigned char *stored, size_t size, const unsigned char *keys,
                      unsigned char *plain, LineSums &sums, size_t *lineLength,
                      ProfileLineScan *scan) {
    if (lineLength == nullptr)
        return decodeBlocks<false>(stored, size, keys, plain, sums, nullptr, nullptr);
    *lineLength = 0;
    return decodeBlocks<true>(stored, size, keys, plain, sums, lineLength, scan);
}

#endif
