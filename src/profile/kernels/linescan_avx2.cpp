// The plain line scan in blocks of 32 bytes with AVX2.  This file is
// compiled with AVX2 where the build has the kernel (KV_KERNEL_AVX2, see
// dispatch.h) and is empty elsewhere; its code runs only after the dispatch
// found it.  It calls no inline function of a shared header but the static
// ones of scan_block.h, of which it compiles its own copy, so nothing
// compiled here is used by another file.
#include "profile/kernels/linescan_kernels.h"
#include "profile/kernels/scan_block.h"

#if defined(KV_KERNEL_AVX2)
#include <cstdint>
#include <immintrin.h>

bool lineScanAvx2(const unsigned char *bytes, size_t size, size_t *lineLength,
                  ProfileLineScan *scan) {
    const __m256i lineFeed = _mm256_set1_epi8('\n');
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i refusedBits = _mm256_set1_epi8(static_cast<char>(PROFILE_SCAN_REFUSED));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i scanLow = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(PROFILE_SCAN_NIBBLES.low)));
    const __m256i scanHigh = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i *>(PROFILE_SCAN_NIBBLES.high)));
    ProfileLineScan lineScan{true, SIZE_MAX, SIZE_MAX, 0, 0};
    uint32_t blankBefore = 0; // the byte before the block is a blank
    // Whole blocks only: no read passes size.  A line whose end lies in
    // the last part block is left to the caller.
    for (size_t r = 0; r + 32 <= size; r += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes + r));
        const auto feeds =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(block, lineFeed)));
        const uint32_t body = feeds != 0 ? (feeds - 1) & ~feeds : ~uint32_t{0};
        const __m256i classes = _mm256_and_si256(
            _mm256_shuffle_epi8(scanLow, _mm256_and_si256(block, nibble)),
            _mm256_shuffle_epi8(scanHigh, _mm256_and_si256(_mm256_srli_epi16(block, 4), nibble)));
        const uint32_t blanks = static_cast<uint32_t>(_mm256_movemask_epi8(classes)) & body;
        const uint32_t signs =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_add_epi8(classes, classes))) & body;
        const uint32_t refused = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(
                                     _mm256_and_si256(classes, refusedBits), zero))) &
                                 body;
        lineScan.doubled |= (blanks & ((blanks << 1) | blankBefore)) != 0;
        blankBefore = blanks >> 31;
        scanNoteBlock(lineScan, blanks, signs, refused, r);
        if (feeds != 0) {
            *lineLength = r + static_cast<size_t>(__builtin_ctz(feeds)) + 1;
            *scan = lineScan;
            return true;
        }
    }
    return false;
}

#endif
