// The built-in line encoding in blocks of 16 bytes with SSE2.
#include "profile/kernels/linecodec_kernels.h"

#if defined(__SSE2__)
#include <cstring>
#include <emmintrin.h>

using namespace linecodec;

namespace {

// The sum of the four 32-bit lanes, modulo 2^32.
uint32_t laneSum(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

// The check's sums of a line taken 16 bytes at a time, kept in lanes and put
// together once at the end.
struct LaneSums {
    __m128i bytes = _mm_setzero_si128();      // two 64-bit lanes
    __m128i positioned = _mm_setzero_si128(); // four 32-bit lanes, modulo 2^32
    __m128i weighted = _mm_setzero_si128();   // four 32-bit lanes, modulo 2^32
    // Adds a block whose lane i holds the plain byte at position at + i
    // (lanes that do not count hold zero).
    void add(__m128i block, size_t at) {
        const __m128i zero = _mm_setzero_si128();
        const auto *positions = reinterpret_cast<const __m128i *>(POSITIONS.at + at);
        const auto *weights = reinterpret_cast<const __m128i *>(WEIGHTS.at + at);
        const __m128i low = _mm_unpacklo_epi8(block, zero);
        const __m128i high = _mm_unpackhi_epi8(block, zero);
        bytes = _mm_add_epi64(bytes, _mm_sad_epu8(block, zero));
        positioned = _mm_add_epi32(
            positioned, _mm_add_epi32(_mm_madd_epi16(low, _mm_loadu_si128(positions)),
                                      _mm_madd_epi16(high, _mm_loadu_si128(positions + 1))));
        weighted = _mm_add_epi32(weighted,
                                 _mm_add_epi32(_mm_madd_epi16(low, _mm_loadu_si128(weights)),
                                               _mm_madd_epi16(high, _mm_loadu_si128(weights + 1))));
    }
    // The sums, with those of bytes taken one at a time added.
    LineSums total(const LineSums &aside) const {
        LineSums sums;
        sums.bytes = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes)) +
                     static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(bytes, 8))) +
                     aside.bytes;
        sums.positioned = laneSum(positioned) + aside.positioned;
        sums.weighted = laneSum(weighted) + aside.weighted;
        return sums;
    }
};

// The low 32 bits of each lane's product (SSE2 has no 32-bit multiply).
__m128i multiplyLow(__m128i a, __m128i b) {
    __m128i even = _mm_mul_epu32(a, b);
    __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
    return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                              _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
}

__m128i laneMask(size_t count) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(LANE_MASKS.bytes + BLOCK - count));
}

} // namespace

void lineFillKeysSse2(uint32_t seed, unsigned char *keys, size_t count) {
    __m128i counter =
        _mm_add_epi32(_mm_set1_epi32(static_cast<int>(seed)),
                      _mm_setr_epi32(0, static_cast<int>(STEP), static_cast<int>(2 * STEP),
                                     static_cast<int>(3 * STEP)));
    const __m128i step = _mm_set1_epi32(static_cast<int>(4 * STEP));
    const __m128i multiplier = _mm_set1_epi32(static_cast<int>(KEY_MULTIPLIER));
    for (size_t i = 0; i < count; i += BLOCK) {
        __m128i x = _mm_xor_si128(counter, _mm_srli_epi32(counter, 15));
        x = multiplyLow(x, multiplier);
        x = _mm_xor_si128(x, _mm_srli_epi32(x, 12));
        x = _mm_or_si128(x, _mm_set1_epi32(static_cast<int>(0x80808080u)));
        _mm_store_si128(reinterpret_cast<__m128i *>(keys + i), x);
        counter = _mm_add_epi32(counter, step);
    }
}

// A block without an escape is one xor of 16 key bytes and one store; at an
// escape the block ends after the escaped byte and the next one starts at
// the byte after its digit; any other byte the encoder never writes as it is
// (NUL, line feed, carriage return, 0x1A) ends it too and makes the line
// undecodable.  The last bytes go through a copy followed by carriage
// returns, which end the block there, so nothing at or past end is read.
// Every step does the same work, whether it met an escape, the end or
// nothing, and a line that cannot be decoded is only found at the end:
// chosen for speed, as escapes come at random places (about two in a line
// of 100 bytes) and a mispredicted branch costs as much as a block.
size_t lineDecodeSse2(const unsigned char *stored, size_t end, const unsigned char *keys,
                      unsigned char *plain, LineSums &sums) {
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
    LaneSums laneSums;
    LineSums aside; // of the escaped bytes, taken one at a time
    __m128i nuls = zero;
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
            __builtin_ctz(static_cast<uint32_t>(_mm_movemask_epi8(special)) | 0x10000u));
        const __m128i kept = laneMask(count);
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
        aside.bytes += kept1;
        aside.positioned += static_cast<uint32_t>(w + count) * kept1;
        aside.weighted += static_cast<uint32_t>(WEIGHTS.at[w + count]) * kept1;
        r = at + 2 * escaped;
        w += count + escaped;
    }
    if (bad != 0) return SIZE_MAX;
    if (_mm_movemask_epi8(nuls) != 0) return SIZE_MAX; // a plain NUL
    sums = laneSums.total(aside);
    return w;
}

// The same steps as lineDecodeSse2 the other way round: a block without a
// byte to escape is one xor and one store; at such a byte the block ends
// after its escape.
void lineEncodeSse2(const unsigned char *plain, size_t length, const unsigned char *keys,
                    unsigned char *out, size_t bodyEnd, size_t *r, size_t *w, LineSums &sums) {
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
            __builtin_ctz(static_cast<uint32_t>(_mm_movemask_epi8(special)) | 0x8000u) + 1);
        laneSums.add(_mm_and_si128(bytes, laneMask(count)), p);
        const auto last = static_cast<unsigned char>(plain[p + count - 1] ^ keys[p + count - 1]);
        const int digit = ESCAPE_DIGITS.digit[last];
        p += count;
        q += count;
        if (digit >= 0) {
            out[q - 1] = ESCAPE;
            out[q++] = static_cast<unsigned char>('0' + digit);
        }
    }
    sums = laneSums.total(LineSums{});
    *r = p;
    *w = q;
}

#endif
