// The plain line scan in blocks of 64 bytes with AVX-512 BW and BMI2.  This
// file is compiled with those instruction sets where the build has the
// kernel (KV_KERNEL_AVX512, see dispatch.h) and is empty elsewhere; its
// code runs only after the dispatch found them.  It calls no inline
// function of a shared header but the static ones of scan_block.h, of which
// it compiles its own copy, so nothing compiled here is used by another
// file.
#include "profile/kernels/linescan_kernels.h"
#include "profile/kernels/scan_block.h"

#if defined(KV_KERNEL_AVX512)
#include <cstdint>
#include <immintrin.h>

bool lineScanAvx512(const unsigned char *bytes, size_t size, size_t *lineLength,
                    ProfileLineScan *scan) {
    const __m512i lineFeed = _mm512_set1_epi8('\n');
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    const __m512i refusedBits = _mm512_set1_epi8(static_cast<char>(PROFILE_SCAN_REFUSED));
    const __m512i scanLow = _mm512_maskz_broadcast_i32x4(
        0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i *>(PROFILE_SCAN_NIBBLES.low)));
    const __m512i scanHigh = _mm512_maskz_broadcast_i32x4(
        0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i *>(PROFILE_SCAN_NIBBLES.high)));
    ProfileLineScan lineScan{true, SIZE_MAX, SIZE_MAX, 0, 0};
    uint64_t blankBefore = 0; // the byte before the block is a blank
    for (size_t r = 0; r < size; r += 64) {
        const size_t left = size - r;
        uint64_t body =
            left >= 64 ? ~uint64_t{0} : _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(left));
        // Masked: no byte past size is read, so no fault past the end.
        const __m512i block = _mm512_maskz_loadu_epi8(body, bytes + r);
        const uint64_t feeds = _mm512_mask_cmpeq_epi8_mask(body, block, lineFeed);
        if (feeds != 0)
            body = _bzhi_u64(~uint64_t{0}, static_cast<unsigned>(__builtin_ctzll(feeds)));
        const __m512i classes = _mm512_and_si512(
            _mm512_shuffle_epi8(scanLow, _mm512_and_si512(block, nibble)),
            _mm512_shuffle_epi8(scanHigh, _mm512_and_si512(_mm512_srli_epi16(block, 4), nibble)));
        const uint64_t blanks = _mm512_movepi8_mask(classes) & body;
        const uint64_t signs = _mm512_movepi8_mask(_mm512_add_epi8(classes, classes)) & body;
        const uint64_t refused = _mm512_mask_test_epi8_mask(body, classes, refusedBits);
        lineScan.doubled |= (blanks & ((blanks << 1) | blankBefore)) != 0;
        blankBefore = blanks >> 63;
        scanNoteBlock(lineScan, blanks, signs, refused, r);
        if (feeds != 0) {
            *lineLength = r + static_cast<size_t>(__builtin_ctzll(feeds)) + 1;
            *scan = lineScan;
            return true;
        }
    }
    return false;
}

#endif
