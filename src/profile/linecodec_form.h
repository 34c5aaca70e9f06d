// The constants and tables of the built-in line encoding that its kernels
// share (linecodec.cpp describes the stored form and holds the reference).
// Data and compile-time functions only: a kernel compiled for a wider
// instruction set must not emit a shared inline function that another file
// would then run on any processor.
#pragma once

#include "profile/limits.h"

#include <cstddef>
#include <cstdint>

namespace linecodec {

inline constexpr unsigned char ESCAPE = '\\';
inline constexpr unsigned char ESCAPED[] = {0x00, '\n', '\r', 0x1A, ESCAPE}; // by escape digit
inline constexpr size_t ESCAPE_COUNT = sizeof ESCAPED;
inline constexpr size_t CHECK_LENGTH = 5;     // check characters before the body
inline constexpr uint32_t STEP = 0x9E3779B9u; // golden-ratio increment of the key counter
inline constexpr uint32_t KEY_MULTIPLIER = 0x2C1B3C6Du;
inline constexpr size_t BLOCK = 16;      // bytes of an SSE2 block
inline constexpr size_t WIDE_BLOCK = 64; // bytes of an AVX-512 block

// The tables below cover a stored line of PROFILE_LINE_SIZE and a wide
// block more: every line a load reads decodes block-wise.
inline constexpr size_t TABLE_SIZE = (PROFILE_LINE_SIZE + WIDE_BLOCK + BLOCK - 1) / BLOCK * BLOCK;
static_assert(TABLE_SIZE < 32768, "positions are 16-bit lanes");

// Key word j of a seed: the four key bytes of plain positions 4j to 4j+3,
// lowest byte first, each with its top bit set.
constexpr uint32_t keyWord(uint32_t seed, size_t j) {
    uint32_t x = seed + static_cast<uint32_t>(j) * STEP;
    x = (x ^ (x >> 15)) * KEY_MULTIPLIER;
    return (x ^ (x >> 12)) | 0x80808080u;
}

// The weight of plain position i in the check's third sum: -64 to 63, from
// a mix of the low 16 bits of i.  Seven bits, chosen for speed: a block of
// bytes times weights is then one multiply-add of bytes by signed bytes
// whose pairs never saturate (2 x 255 x 64 < 2^15).
constexpr int32_t weightAt(size_t i) {
    uint32_t x = static_cast<uint32_t>(i) & 0xFFFFu;
    x = (x * 0x9E37u + 0x79B9u) & 0xFFFFu;
    x ^= x >> 7;
    x = (x * 0x5BD1u) & 0xFFFFu;
    x ^= x >> 9;
    return static_cast<int32_t>(x >> 9) - 64;
}

// What the check characters cover, besides the seed and the length: the sum
// of the plain bytes, the sum of position times byte, and the sum of
// weightAt(position) times byte, each modulo 2^32.
//
// The check takes the byte and positioned sums as one 64-bit word, which the
// compiler reads with one load when the two lie side by side; the kernels
// write them apart, and a load that spans two stores waits until both have
// left the processor instead of taking their values on the way.  So they
// are kept apart: a line's check does not wait for its decoding to retire.
// The AVX-512 kernel writes all three with one 16-byte store, from which
// each can be read on the way.
struct alignas(16) LineSums {
    uint32_t bytes = 0;
    uint32_t weighted = 0;
    uint32_t positioned = 0;
    uint32_t unused = 0;
};

// 16 bytes of ones, then 16 zero bytes: the 16 bytes from BLOCK - n keep
// the first n lanes of a block.
struct LaneMasks {
    alignas(16) unsigned char bytes[2 * BLOCK];
};
inline constexpr LaneMasks LANE_MASKS = [] {
    LaneMasks table{};
    for (size_t i = 0; i < BLOCK; ++i) table.bytes[i] = 0xFF;
    return table;
}();

// Position i at index i, and weightAt(i) at index i, as 16-bit lanes: the
// factors of the two weighted sums, loaded eight at a time; and weightAt(i)
// as signed bytes, loaded 64 at a time.
struct LaneFactors {
    alignas(64) int16_t at[TABLE_SIZE];
};
inline constexpr LaneFactors POSITIONS = [] {
    LaneFactors table{};
    for (size_t i = 0; i < TABLE_SIZE; ++i) table.at[i] = static_cast<int16_t>(i);
    return table;
}();
inline constexpr LaneFactors WEIGHTS = [] {
    LaneFactors table{};
    for (size_t i = 0; i < TABLE_SIZE; ++i) table.at[i] = static_cast<int16_t>(weightAt(i));
    return table;
}();
struct ByteFactors {
    alignas(64) signed char at[TABLE_SIZE];
};
inline constexpr ByteFactors BYTE_WEIGHTS = [] {
    ByteFactors table{};
    for (size_t i = 0; i < TABLE_SIZE; ++i) table.at[i] = static_cast<signed char>(weightAt(i));
    return table;
}();

// The plain byte of each escape digit character in the low byte, 0x100
// for a character that is no escape digit.
struct Unescaped {
    uint16_t of[256];
};
inline constexpr Unescaped UNESCAPED = [] {
    Unescaped table{};
    for (auto &entry : table.of) entry = 0x100;
    for (size_t i = 0; i < ESCAPE_COUNT; ++i) table.of['0' + i] = ESCAPED[i];
    return table;
}();

// The escape digit of each byte, or -1 for a byte written as it is.
struct EscapeDigits {
    signed char digit[256];
};
inline constexpr EscapeDigits ESCAPE_DIGITS = [] {
    EscapeDigits table{};
    for (int c = 0; c < 256; ++c) table.digit[c] = -1;
    for (size_t i = 0; i < ESCAPE_COUNT; ++i) table.digit[ESCAPED[i]] = static_cast<signed char>(i);
    return table;
}();

} // namespace linecodec
