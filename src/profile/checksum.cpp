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
constexpr uint32_t TRANSFORM_MODULUS = 99;
constexpr uint32_t ROTATION_MODULUS = 13;

// The running state of one checksum, so that a text can be fed in pieces
// ("name", "=", "value") with the same result as the whole text.
struct ChecksumState {
    uint32_t sum = 0;
    uint32_t position = 0; // index of the next weight, 0 to 200
    uint32_t rotation = 1;
    uint32_t offset; // transform parameter mod 99, taken off every byte
};

void mix(ChecksumState &s) {
    uint32_t width = static_cast<uint32_t>(std::bit_width(s.sum));
    if (width < 2) width = 2;
    s.rotation = (s.rotation * s.offset) % ROTATION_MODULUS + 1;
    s.sum = profileChecksumRotate(s.sum, s.rotation, width);
}

void feed(ChecksumState &s, const char *text) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
        uint32_t x = *p;
        if (x == ' ') continue;
        uint32_t value = (x >= 33 && x <= 126) ? x - 32 : x;
        if (s.position == PROFILE_CHECKSUM_WEIGHTS) s.position = 0;
        uint32_t weight = profileChecksumWeights[s.position++];
        s.sum += weight * value - s.offset;
        if (s.position % MIX_PERIOD == 0) mix(s);
    }
}

ChecksumState startState(uint32_t transform) {
    ChecksumState s;
    s.offset = transform % TRANSFORM_MODULUS;
    return s;
}

} // namespace

uint32_t profileChecksumRotate(uint32_t value, uint32_t count, uint32_t width) {
    if (width < 2 || width > 32) return value;
    count %= width;
    if (count == 0) return value;
    uint64_t v = value;
    uint64_t mask = (uint64_t{1} << width) - 1;
    return static_cast<uint32_t>(((v << count) | (v >> (width - count))) & mask);
}

uint32_t profileLineChecksum(const char *text, uint32_t transform) {
    if (text == nullptr) return 0;
    ChecksumState s = startState(transform);
    feed(s, text);
    return s.sum;
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
    *checksum = s.sum;
    return 0;
}

uint32_t profileSectionChecksum(ErrCollector *collector, uint32_t transform,
                                ProfileSection *section) {
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
    section->checksum = sum;
    return 0;
}

uint32_t profileSetChecksum(ErrCollector *collector, ProfileSection *section, uint32_t sum) {
    if (section == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    section->checksum = sum;
    return 0;
}
