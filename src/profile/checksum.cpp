#include "profile/checksum.h"

#include "profile/context.h"

#include <bit>

// The 200 primes from 97 to 1423, each once, in the order the checksum uses
// them.
const uint16_t profileChecksumWeights[PROFILE_CHECKSUM_WEIGHTS] = {
    1373, 101,  103,  1327, 1321, 113,  127,  1303, 1301, 139,  1289, 1283, 163,  167,  1259, 1249,
    181,  191,  1229, 1223, 199,  211,  1201, 1193, 229,  233,  1171, 1163, 251,  257,  1129, 1123,
    271,  277,  1103, 1097, 293,  307,  1087, 1069, 317,  331,  1051, 1049, 349,  353,  1031, 1021,
    373,  379,  1009, 997,  397,  401,  977,  971,  421,  431,  947,  941,  443,  449,  919,  911,
    463,  467,  883,  881,  491,  499,  859,  857,  521,  523,  829,  827,  557,  563,  811,  809,
    577,  587,  773,  769,  601,  607,  751,  743,  619,  631,  727,  719,  647,  653,  691,  683,
    673,  677,  661,  659,  701,  709,  643,  641,  733,  739,  617,  613,  757,  761,  599,  593,
    787,  797,  571,  569,  821,  823,  547,  541,  839,  853,  509,  503,  863,  877,  487,  479,
    887,  907,  461,  457,  929,  937,  439,  433,  953,  967,  419,  409,  983,  991,  389,  383,
    1013, 1019, 367,  359,  1033, 1039, 347,  337,  1061, 1063, 313,  311,  1091, 1093, 283,  281,
    1109, 1117, 269,  263,  1151, 1153, 241,  239,  1181, 1187, 227,  223,  1213, 1217, 197,  193,
    1231, 1237, 179,  173,  1277, 1279, 157,  151,  1291, 1297, 137,  131,  1307, 1319, 109,  107,
    1361, 1367, 97,   1381, 149,  1399, 1409, 1423};

namespace {

constexpr uint32_t MIX_PERIOD = 14; // weights between two mixing steps
constexpr uint32_t LAST_MIX = 196;  // the last multiple of 14 below 200
constexpr uint32_t TRANSFORM_MODULUS = 99;
constexpr uint32_t ROTATION_MODULUS = 13;

// What each byte adds, times its weight (low byte): blank 0 (it is
// skipped), 33 to 126 their value less 32, every other byte its own value;
// and whether it takes a weight (bit 8): every byte but the blank.
constexpr auto BYTE_ENTRIES = [] {
    struct Table {
        uint16_t entry[256];
    } table{};
    for (uint32_t x = 0; x < 256; ++x) {
        uint32_t value = x == ' ' ? 0 : (x >= 33 && x <= 126) ? x - 32 : x;
        table.entry[x] = static_cast<uint16_t>(value | (x == ' ' ? 0 : 0x100));
    }
    return table;
}();
constexpr uint32_t ENTRY_VALUE = 0xFF;
constexpr uint32_t ENTRY_COUNTS_SHIFT = 8;

// The running state of one checksum, so that a text can be fed in pieces
// ("name", "=", "value") with the same result as the whole text.
//
// The loop over the bytes does only weight * value; the (P mod 99) of each
// counted byte is taken off in one go at the next mixing step or wrap of the
// weight index (the sum must be exact there), and at the end.
struct ChecksumState {
    uint32_t sum = 0;
    uint32_t position = 0; // index of the next weight, 0 to 199
    uint32_t rotation = 1;
    uint32_t offset;             // transform parameter mod 99
    uint32_t event = MIX_PERIOD; // the position of the next mixing step or wrap (200)
    uint32_t settled = 0;        // the position up to which offsets are taken off
};

// The mixing rotation of the sum within its significant bits (at least 2).
uint32_t mix(uint32_t sum, uint32_t &rotation, uint32_t offset) {
    rotation = (rotation * offset) % ROTATION_MODULUS + 1;
    return profileChecksumRotate(sum, rotation, static_cast<uint32_t>(std::bit_width(sum | 2u)));
}

void feed(ChecksumState &state, const char *text) {
    // Locals, so the byte loop keeps them in registers (text may alias them).
    uint32_t sum = state.sum, rotation = state.rotation;
    size_t position = state.position, event = state.event, settled = state.settled;
    const uint32_t offset = state.offset;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        uint32_t entry = BYTE_ENTRIES.entry[*p];
        sum += profileChecksumWeights[position] * (entry & ENTRY_VALUE);
        position += entry >> ENTRY_COUNTS_SHIFT;
        if (position != event) continue;
        sum -= static_cast<uint32_t>(position - settled) * offset;
        if (position == PROFILE_CHECKSUM_WEIGHTS) {
            position = 0; // no mixing step at 200
            event = MIX_PERIOD;
        } else {
            sum = mix(sum, rotation, offset);
            event = position == LAST_MIX ? PROFILE_CHECKSUM_WEIGHTS : position + MIX_PERIOD;
        }
        settled = position;
    }
    state.sum = sum;
    state.position = static_cast<uint32_t>(position);
    state.rotation = rotation;
    state.event = static_cast<uint32_t>(event);
    state.settled = static_cast<uint32_t>(settled);
}

uint32_t finish(const ChecksumState &state) {
    return state.sum - (state.position - state.settled) * state.offset;
}

ChecksumState startState(uint32_t transform) {
    ChecksumState s;
    s.offset = transform % TRANSFORM_MODULUS;
    return s;
}

} // namespace

uint32_t profileChecksumRotate(uint32_t value, uint32_t count, uint32_t width) {
    if (width < 2 || width > 32) return value;
    if (count >= width) count %= width;
    if (count == 0) return value;
    if (width == 32) return std::rotl(value, static_cast<int>(count));
    return ((value << count) | (value >> (width - count))) & ((1u << width) - 1);
}

uint32_t profileLineChecksum(const char *text, uint32_t transform) {
    if (text == nullptr) return 0;
    ChecksumState s = startState(transform);
    feed(s, text);
    return finish(s);
}

uint32_t profileKeyChecksum(ErrCollector *collector, const ProfileKey *key, uint32_t transform,
                            uint32_t *checksum) {
    if (checksum != nullptr) *checksum = 0;
    if (key == nullptr || checksum == nullptr || key->name == nullptr || key->value == nullptr) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    // The same as the checksum of the text "name=value", without building it.
    ChecksumState s = startState(transform);
    feed(s, key->name);
    feed(s, "=");
    feed(s, key->value);
    *checksum = finish(s);
    return 0;
}

uint32_t profileSectionChecksum(ErrCollector *collector, uint32_t transform,
                                ProfileSection *section) {
    if (section != nullptr && section->keys != nullptr && section->checksumKnown != 0 &&
        section->checksumTransform == transform)
        return 0; // the keys have not changed since their sum was taken
    if (section == nullptr || cursorListRewind(collector, section->keys) != 0) {
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    }
    uint32_t sum = 0;
    do {
        void *element = nullptr;
        if (cursorListCurrent(collector, section->keys, &element) == 0) {
            uint32_t checksum = 0;
            uint32_t status = profileKeyChecksum(collector, static_cast<ProfileKey *>(element),
                                                 transform, &checksum);
            if (status != 0) return status;
            sum += checksum;
        }
    } while (cursorListAdvance(collector, section->keys) == 0);
    profileSetKnownChecksum(section, sum, transform);
    return 0;
}

void profileSetKnownChecksum(ProfileSection *section, uint32_t sum, uint32_t transform) {
    section->checksum = sum;
    section->checksumKnown = 1;
    section->checksumTransform = transform;
}

uint32_t profileSetChecksum(ErrCollector *collector, ProfileSection *section, uint32_t sum) {
    if (section == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    section->checksum = sum;
    section->checksumKnown = 0;
    return 0;
}
