// The built-in line decoding in blocks of 32 bytes with AVX2.  This file is
// compiled with AVX2 where the build has the kernel (KV_KERNEL_AVX2, see
// dispatch.h) and is empty elsewhere; its code runs only after the dispatch
// found AVX2.  It calls no inline function of a shared header, so nothing
// compiled here is used by another file.
#include "profile/kernels/linecodec_kernels.h"

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

    // Adds a block whose lane i holds the plain byte at position at + i
    // (lanes that do not count hold zero).  Position times byte is lane
    // times byte plus `at` times the bytes' sum (below 2^32 in each 64-bit
    // lane, so the upper halves stay zero); weight times byte is bytes times
    // signed bytes in pairs, then the pairs in fours.
    [[gnu::always_inline]] inline void add(__m256i block, size_t at, __m256i lanes) {
        const __m256i zero = _mm256_setzero_si256();
        const __m256i ones = _mm256_set1_epi16(1);
        const __m256i blockSums = _mm256_sad_epu8(block, zero);
        bytes = _mm256_add_epi64(bytes, blockSums);
        positioned = _mm256_add_epi32(
            positioned,
            _mm256_add_epi32(
                _mm256_madd_epi16(_mm256_maddubs_epi16(block, lanes), ones),
                _mm256_mul_epu32(blockSums, _mm256_set1_epi64x(static_cast<long long>(at)))));
        const __m256i weights =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(BYTE_WEIGHTS.at + at));
        weighted = _mm256_add_epi32(weighted,
                                    _mm256_madd_epi16(_mm256_maddubs_epi16(block, weights), ones));
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

// A block of bytes from 0x80 up (ASCII text) is one xor of key bytes and
// one store; elsewhere the block ends at the first byte the encoder never
// writes as it is (NUL, line feed, carriage return, 0x1A) or the escape
// byte, and at an escape the next block starts after its digit.  With
// FindEnd the line ends at its first line feed, found on the way: the line
// is read once, not searched and then decoded.  Bytes past `size` are never
// read: the last ones go through a copy followed by NUL bytes, which end the
// block there.  Returns SIZE_MAX for a body that cannot be decoded; with
// FindEnd that, and a line that goes on past `size`, leave *lineLength at 0
// (the caller then takes the line the general way, which says what it is).
template <bool FindEnd>
size_t decodeBlocks(const unsigned char *stored, size_t size, const unsigned char *keys,
                    unsigned char *plain, LineSums &sums, size_t *lineLength) {
    const __m256i escape = _mm256_set1_epi8(static_cast<char>(ESCAPE));
    const __m256i lineFeed = _mm256_set1_epi8('\n');
    const __m256i carriageReturn = _mm256_set1_epi8('\r');
    const __m256i endOfFile = _mm256_set1_epi8(0x1A);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i *>(LANE_NUMBERS.bytes));
    alignas(LANES) unsigned char last[2 * LANES];
    BlockSums blockSums;
    LineSums aside; // of the escaped bytes, taken one at a time
    __m256i nuls = zero;
    size_t r = CHECK_LENGTH;
    size_t w = 0;
    for (;;) {
        const unsigned char *from = stored + r;
        if (r + LANES > size) {
            if (r >= size) {
                if constexpr (FindEnd) return SIZE_MAX;
                break;
            }
            _mm256_store_si256(reinterpret_cast<__m256i *>(last), zero);
            _mm256_store_si256(reinterpret_cast<__m256i *>(last + LANES), zero);
            for (size_t i = 0; i < size - r; ++i) last[i] = stored[r + i]; // no shared inline copy
            from = last;
        }
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from));
        const __m256i bytes = _mm256_xor_si256(
            block, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(keys + w)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(plain + w), bytes);
        // Every byte the block must stop at is below 0x80.
        uint32_t special = 0;
        if (static_cast<uint32_t>(_mm256_movemask_epi8(block)) != 0xFFFFFFFFu) {
            const __m256i stops =
                _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(block, escape),
                                                _mm256_cmpeq_epi8(block, carriageReturn)),
                                _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(block, endOfFile),
                                                                _mm256_cmpeq_epi8(block, lineFeed)),
                                                _mm256_cmpeq_epi8(block, zero)));
            special = static_cast<uint32_t>(_mm256_movemask_epi8(stops));
        }
        if (special == 0) {
            nuls = _mm256_or_si256(nuls, _mm256_cmpeq_epi8(bytes, zero));
            blockSums.add(bytes, w, lanes);
            r += LANES;
            w += LANES;
            continue;
        }
        const auto count = static_cast<size_t>(__builtin_ctz(special));
        const __m256i kept =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(KEEP.bytes + LANES - count));
        const __m256i counted = _mm256_and_si256(bytes, kept);
        nuls = _mm256_or_si256(nuls, _mm256_and_si256(_mm256_cmpeq_epi8(bytes, zero), kept));
        blockSums.add(counted, w, lanes);
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
    }
    if (_mm256_movemask_epi8(nuls) != 0) { // a plain NUL
        if constexpr (FindEnd) *lineLength = 0;
        return SIZE_MAX;
    }
    sums = blockSums.total(aside);
    return w;
}

} // namespace

size_t lineDecodeAvx2(const unsigned char *stored, size_t size, const unsigned char *keys,
                      unsigned char *plain, LineSums &sums, size_t *lineLength) {
    if (lineLength == nullptr) return decodeBlocks<false>(stored, size, keys, plain, sums, nullptr);
    *lineLength = 0;
    return decodeBlocks<true>(stored, size, keys, plain, sums, lineLength);
}

#endif
