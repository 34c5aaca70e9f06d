// The built-in line encoding: the definition of its stored form, and the
// byte-by-byte reference that the block kernels (kernels/linecodec_*.cpp,
// chosen by kernels/dispatch.h) must match.
//
// It keeps the text of a profile file from being read or edited by a casual
// reader.  It is an obfuscation, not cryptography: anyone with this source
// and the transform parameter (or enough stored lines) can undo it.
//
// THE STORED FORM IS FROZEN from 9.5.0: files written since then are kept
// by their users, and the golden files under tests/fixtures/encoded/ hold
// this build to it byte for byte.  A later form must still read this one:
// it mixes another form mark into its check (below), and its reader takes a
// line whose check fails under the new mark as a line of this form.
//
// Stored form of a plain line P of n bytes (its final line feed included):
//
//     C1 C2 C3 C4 C5 E(P[0]) ... E(P[n-1]) "\n"
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
// - C1 to C5 are five check characters, "!" to "~": the base-94 digits,
//   lowest first, of the check value, 0 to 94^5 - 1 (7.3 x 10^9 values).  It
//   is h * 94^5 / 2^64 for a 64-bit mix h (fmix64) of the form mark (1), the
//   seed, the plain length and three sums of the plain bytes, each modulo
//   2^32: their sum, the sum of position times byte, and the sum of
//   weightAt(position) times byte (linecodec_form.h: a weight from -64 to 63
//   for each position).  A changed plain byte always changes the first sum;
//   two changed bytes always change the first two; a removed or added
//   escape changes the length.
//
//   Measured miss rate: about one in 7 x 10^9 changed lines that still
//   parse, one in 9 x 10^9 changed lines.  A Monte Carlo of 10^8 lines (1 to
//   4,400 bytes, ASCII and binary, random parameters) each changed once (a
//   byte replaced, a bit flipped, a byte removed or added, a burst of 2 to 8
//   bytes, two bytes swapped, the line cut, joined to another line's end, a
//   line of another parameter or not encoded) left 78 % parsing; of those,
//   a check cut to two characters let 1 in 8,989 through (1 / 94^2 =
//   1 / 8,836), cut to three 1 in 810,823 (1 / 94^3 = 1 / 830,584), the five
//   none, and no changed line kept the sums and length of its original.  So
//   the check behaves as a uniform draw of 94^5: 1 / 7.3 x 10^9 per parsing
//   line.
//
// So the stored line is one line, ends in one line feed, holds none of NUL,
// carriage return and 0x1A, and is six bytes longer than the plain line
// plus one byte for each escaped byte (none for ASCII text, about 4 % of
// bytes from 0x80 up).  Plain lines may hold any byte 1 to 255; the line
// feed inside or at the end is encoded like any other byte, so decoding
// restores the plain line exactly.  Within the 4,500 bytes a save hands to
// the encoder, a plain line of ASCII text encodes up to 4,493 bytes with its
// line feed (three fewer than the earlier two-character check allowed);
// a longer one is refused with 11.
//
// The library's default transform parameter, used by every context opened
// without its own decodeLine, is PROFILE_DEFAULT_TRANSFORM, 0x4B56 ("KV").
#include "profile/linecodec.h"

#include "diag/messages.h"
#include "profile/kernels/dispatch.h"
#include "profile/kernels/linecodec_kernels.h"
#include "profile/limits.h"
#include "profile/line_functions.h"
#include "profile/linecodec_form.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace linecodec;

namespace {

constexpr uint32_t SEED_SALT = 0x6B76694Eu; // mixed into the transform parameter
constexpr uint64_t FORM_MARK = 1;           // the stored form of 9.5.0
constexpr uint32_t CHECK_BASE = '!';
constexpr uint32_t CHECK_RANGE = 94;             // "!" to "~"
constexpr uint64_t CHECK_VALUES = 7339040224ull; // 94^5
static_assert(CHECK_VALUES ==
              uint64_t{CHECK_RANGE} * CHECK_RANGE * CHECK_RANGE * CHECK_RANGE * CHECK_RANGE);

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

// Its 64-bit finaliser, a bijection as well.
constexpr uint64_t fmix64(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

constexpr uint32_t seedOf(uint32_t transform) { return fmix32(transform ^ SEED_SALT); }
constexpr uint32_t DEFAULT_SEED = seedOf(PROFILE_DEFAULT_TRANSFORM);

// The sums of the reference, one plain byte at a time (the weight from the
// table where it reaches).
[[gnu::always_inline]] inline void addByte(LineSums &sums, unsigned char plain, size_t position) {
    const int32_t weight = position < TABLE_SIZE ? WEIGHTS.at[position] : weightAt(position);
    sums.bytes += plain;
    sums.positioned += static_cast<uint32_t>(position) * plain;
    sums.weighted += static_cast<uint32_t>(weight) * plain;
}

// The high 64 bits of a 128-bit product.
constexpr uint64_t multiplyHigh(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    __extension__ using Wide = unsigned __int128;
    return static_cast<uint64_t>((static_cast<Wide>(a) * b) >> 64);
#else
    const uint64_t low = (a & 0xFFFFFFFFu) * (b & 0xFFFFFFFFu);
    const uint64_t middle1 = (a >> 32) * (b & 0xFFFFFFFFu) + (low >> 32);
    const uint64_t middle2 = (a & 0xFFFFFFFFu) * (b >> 32) + (middle1 & 0xFFFFFFFFu);
    return (a >> 32) * (b >> 32) + (middle1 >> 32) + (middle2 >> 32);
#endif
}

// The check value, 0 to 94^5 - 1, whose base-94 digits (lowest first) the
// check characters are.  The form mark and seed, the first two sums, the
// third and the length make two 64-bit words, joined by a multiply-add
// with an odd constant (for either word fixed, a bijection of the other)
// and mixed by fmix64; the mix h, taken as a fraction of 2^64, scales to
// h * 94^5 / 2^64.  Lines whose sums or length differ share a check only by
// chance.
[[gnu::always_inline]] inline uint64_t checkValue(uint32_t seed, const LineSums &sums,
                                                  size_t length) {
    const uint64_t first =
        (FORM_MARK << 32 | seed) ^ (uint64_t{sums.positioned} << 32 | sums.bytes);
    const uint64_t second = uint64_t{sums.weighted} << 32 | static_cast<uint32_t>(length);
    return multiplyHigh(fmix64(first * 0x9E3779B97F4A7C15ull + second), CHECK_VALUES);
}

// The check characters of a value: split once at 94^2, so that every digit
// comes from a 32-bit number without waiting for the one before.
void checkCharacters(uint32_t seed, const LineSums &sums, size_t length, char out[CHECK_LENGTH]) {
    static_assert(CHECK_LENGTH == 5);
    constexpr uint64_t SPLIT = CHECK_RANGE * CHECK_RANGE;
    const uint64_t value = checkValue(seed, sums, length);
    const auto high = static_cast<uint32_t>(value / SPLIT); // below 94^3
    const auto low = static_cast<uint32_t>(value - high * SPLIT);
    out[0] = static_cast<char>(CHECK_BASE + low % CHECK_RANGE);
    out[1] = static_cast<char>(CHECK_BASE + low / CHECK_RANGE);
    out[2] = static_cast<char>(CHECK_BASE + high % CHECK_RANGE);
    out[3] = static_cast<char>(CHECK_BASE + high / CHECK_RANGE % CHECK_RANGE);
    out[4] = static_cast<char>(CHECK_BASE + high / SPLIT);
}

// The check value the stored characters spell, or CHECK_VALUES when one is
// not a check character.  Chosen for speed: it does not wait for the decoded
// line, and then one comparison remains; the first four characters are
// taken as the bytes of one word.
[[gnu::always_inline]] inline uint64_t storedCheck(const char *stored) {
    static_assert(CHECK_LENGTH == 5 && CHECK_BASE == 0x21 && CHECK_RANGE == 94);
    const auto *bytes = reinterpret_cast<const unsigned char *>(stored);
    const uint32_t word = bytes[0] | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                          uint32_t{bytes[3]} << 24; // one load where bytes are little-endian
    const uint32_t last = bytes[4] - CHECK_BASE;
    // A byte below "!" borrows from the one above it and one above "~" is
    // borrowed from: either way its top bit is set.  A borrow only ever
    // marks a word that holds such a byte already.
    const uint32_t digits = word - 0x21212121u;
    const bool bad = (((digits | (0x7E7E7E7Eu - word)) & 0x80808080u) != 0) | (last >= CHECK_RANGE);
    // Digits 0 and 1, and 2 and 3, as two 16-bit numbers, then the value.
    const uint32_t pairs = (digits & 0x00FF00FFu) + CHECK_RANGE * ((digits >> 8) & 0x00FF00FFu);
    constexpr uint64_t PLACE2 = uint64_t{CHECK_RANGE} * CHECK_RANGE;
    const uint64_t value =
        (pairs & 0xFFFFu) + PLACE2 * (pairs >> 16) + PLACE2 * PLACE2 * uint64_t{last};
    return bad ? CHECK_VALUES : value;
}

// True when none of the check characters is a line feed: the line's end
// then lies in its body, where the kernels look for it.  Inline rather than
// a library search of five bytes for every line.
bool noFeedInCheck(const char *stored) {
    static_assert(CHECK_LENGTH == 5);
    return (stored[0] != '\n') & (stored[1] != '\n') & (stored[2] != '\n') & (stored[3] != '\n') &
           (stored[4] != '\n');
}

[[gnu::always_inline]] inline bool checkHolds(uint32_t seed, const LineSums &sums, size_t length,
                                              const char *stored) {
    return checkValue(seed, sums, length) == storedCheck(stored);
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

int escapeDigit(unsigned char c) { return ESCAPE_DIGITS.digit[c]; }

// Leaves the output empty: the line cannot be decoded.
uint32_t undecodable(char *out) {
    out[0] = '\0';
    return PROFILE_STATUS_BAD_PARAMS;
}

// Key byte i of the default transform parameter, the one every context
// without its own decodeLine uses: built at compile time, chosen for speed,
// as a block of key bytes is then one load.
struct KeyTable {
    alignas(WIDE_BLOCK) unsigned char bytes[TABLE_SIZE];
};
constexpr KeyTable DEFAULT_KEYS = [] {
    KeyTable table{};
    for (size_t i = 0; i < TABLE_SIZE; ++i)
        table.bytes[i] = static_cast<unsigned char>(keyWord(DEFAULT_SEED, i / 4) >> (8 * (i % 4)));
    return table;
}();

// The reference decoder: the body of a stored line, bytes CHECK_LENGTH to
// end - 1, into plain one byte at a time, never writing at capacity - 1 or
// past it.  Returns the plain length, or SIZE_MAX when the body cannot be
// decoded or the plain line does not fit.
size_t decodeBytes(const unsigned char *stored, size_t end, uint32_t seed, unsigned char *plain,
                   uint32_t capacity, LineSums &sums) {
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
        addByte(sums, b, w);
        plain[w++] = b;
    }
    return w;
}

// The body through the widest kernel the active set allows; keys holds key
// bytes 0 to end + 63.
size_t decodeBlocks(KernelSet set, const unsigned char *stored, size_t end,
                    const unsigned char *keys, unsigned char *plain, LineSums &sums) {
#if defined(KV_KERNEL_AVX512)
    if (set >= KERNEL_AVX512)
        return lineDecodeAvx512(stored, end, keys, plain, sums, nullptr, nullptr);
#endif
#if defined(KV_KERNEL_AVX2)
    if (set >= KERNEL_AVX2) return lineDecodeAvx2(stored, end, keys, plain, sums, nullptr, nullptr);
#endif
    (void)set;
#if defined(__SSE2__)
    return lineDecodeSse2(stored, end, keys, plain, sums);
#else
    (void)stored, (void)end, (void)keys, (void)plain, (void)sums;
    return SIZE_MAX;
#endif
}

// The room in out that the kernel of the set needs for a body ending at
// end: a plain line is never longer than the body, and the kernels of 16
// and 32-byte blocks write a block of scratch past it.
size_t roomFor(KernelSet set, size_t end) {
    if (set >= KERNEL_AVX512) return end - 1;
    return set >= KERNEL_AVX2 ? end + 2 * BLOCK : end + BLOCK;
}

// decodeBlocks with the key bytes of another transform parameter, made for
// this line only, on a stack kept out of the caller's frame.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
size_t
decodeWithKeys(KernelSet set, const unsigned char *stored, size_t end, uint32_t seed,
               unsigned char *plain, LineSums &sums) {
    KeyTable keys;
#if defined(__SSE2__)
    lineFillKeysSse2(seed, keys.bytes, (end + WIDE_BLOCK + BLOCK - 1) / BLOCK * BLOCK);
#else
    (void)seed;
#endif
    return decodeBlocks(set, stored, end, keys.bytes, plain, sums);
}

// lineCodecDecodeNext of the default transform parameter through a kernel
// that finds the line's end as it decodes it.  False when it could not tell
// (no such kernel, a line going on past what it may read, or one it
// refuses): the caller then finds the end and decodes the line apart, which
// also says why a line is refused.
bool decodeNextInOnePass(const char *bytes, size_t available, char *out, uint32_t capacity,
                         size_t *lineLength, size_t *plainLength, ProfileLineScan *scan,
                         uint32_t *status) {
    const auto *stored = reinterpret_cast<const unsigned char *>(bytes);
    auto *plain = reinterpret_cast<unsigned char *>(out);
    LineSums sums;
    size_t length = SIZE_MAX;
    const KernelSet set = kernelSet();
#if defined(KV_KERNEL_AVX512)
    if (set >= KERNEL_AVX512) {
        if (available + WIDE_BLOCK > TABLE_SIZE || available > capacity) return false;
        // Room: a plain line is no longer than the bytes at hand less its
        // check characters.
        length =
            lineDecodeAvx512(stored, available, DEFAULT_KEYS.bytes, plain, sums, lineLength, scan);
        if (length == LINE_CODEC_NO_LINE) {
            *status = PROFILE_STATUS_BAD_PARAMS;
            return true;
        }
    }
#endif
#if defined(KV_KERNEL_AVX2)
    if (set == KERNEL_AVX2) {
        // A line past what the kernel may read is found the other way.
        size_t limit = capacity < TABLE_SIZE ? capacity : TABLE_SIZE;
        if (limit < 2 * BLOCK + CHECK_LENGTH + 1) return false;
        limit -= 2 * BLOCK;
        length = lineDecodeAvx2(stored, available < limit ? available : limit, DEFAULT_KEYS.bytes,
                                plain, sums, lineLength, scan);
        if (*lineLength == 0) return false;
    }
#endif
    (void)set, (void)stored, (void)available, (void)capacity, (void)plain, (void)scan;
    if (*lineLength == 0) return false;
    // An empty body is refused, as lineCodecDecode refuses it.
    if (length == SIZE_MAX || length == 0 || !checkHolds(DEFAULT_SEED, sums, length, bytes)) {
        scan->whole = false;
        *status = undecodable(out);
        return true;
    }
    out[length] = '\0';
    *plainLength = length;
    *status = 0;
    return true;
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
    LineSums sums;
    size_t w = CHECK_LENGTH;
    size_t length = 0;
#if defined(__SSE2__)
    if (transform == PROFILE_DEFAULT_TRANSFORM && kernelSet() >= KERNEL_SSE2) {
        const size_t plainLength = std::strlen(plain);
        if (plainLength <= TABLE_SIZE)
            lineEncodeSse2(bytes, plainLength, DEFAULT_KEYS.bytes,
                           reinterpret_cast<unsigned char *>(out), bodyEnd, &length, &w, sums);
    }
#endif
    // The reference: the rest one byte at a time.
    uint32_t word = keyWord(seed, length / 4) >> (8 * (length % 4));
    for (const unsigned char *p = bytes + length; *p != 0; ++p, ++length) {
        if (length % 4 == 0) word = keyWord(seed, length / 4);
        unsigned char c = static_cast<unsigned char>(*p ^ static_cast<unsigned char>(word));
        word >>= 8;
        addByte(sums, *p, length);
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
    const KernelSet set = kernelSet();
    const auto *bytes = reinterpret_cast<const unsigned char *>(stored);
    auto *plain = reinterpret_cast<unsigned char *>(out);
    const uint32_t seed = transform == PROFILE_DEFAULT_TRANSFORM ? DEFAULT_SEED : seedOf(transform);
    LineSums sums;
    size_t length = 0;
    // Blocks where the key tables cover the body and out has room for the
    // kernel (roomFor); otherwise bytes.
    if (set >= KERNEL_SSE2 && end + WIDE_BLOCK <= TABLE_SIZE && roomFor(set, end) <= capacity) {
        length = transform == PROFILE_DEFAULT_TRANSFORM
                     ? decodeBlocks(set, bytes, end, DEFAULT_KEYS.bytes, plain, sums)
                     : decodeWithKeys(set, bytes, end, seed, plain, sums);
    } else {
        length = decodeBytes(bytes, end, seed, plain, capacity, sums);
    }
    if (length == SIZE_MAX) return undecodable(out);
    out[length] = '\0';
    if (!checkHolds(seed, sums, length, stored)) return undecodable(out);
    if (plainLength != nullptr) *plainLength = length;
    return 0;
}

uint32_t lineCodecDecodeNext(const char *bytes, size_t available, char *out, uint32_t capacity,
                             uint32_t transform, size_t *lineLength, size_t *plainLength,
                             ProfileLineScan *scan) {
    *lineLength = 0;
    *plainLength = 0;
    ProfileLineScan unused;
    if (scan == nullptr) scan = &unused;
    scan->whole = false;
    if (out == nullptr || capacity == 0) return PROFILE_STATUS_BAD_PARAMS;
    out[0] = '\0';
    if (bytes == nullptr) return PROFILE_STATUS_BAD_PARAMS;
    // The line found and decoded in one pass where the processor allows.
    if (transform == PROFILE_DEFAULT_TRANSFORM && available > CHECK_LENGTH &&
        kernelSet() >= KERNEL_AVX2 && noFeedInCheck(bytes)) {
        uint32_t status = 0;
        if (decodeNextInOnePass(bytes, available, out, capacity, lineLength, plainLength, scan,
                                &status))
            return status;
    }
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
