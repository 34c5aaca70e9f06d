// The checksum's weights, in one place for checksum.cpp and its kernels
// (data only: nothing here is compiled into code).
#pragma once

#include <cstdint>

// The weight table: the 200 primes from 97 to 1423, each once, in a fixed
// order; weight i applies to the i-th non-blank byte (modulo 200).
constexpr uint32_t PROFILE_CHECKSUM_WEIGHTS = 200;
inline constexpr uint16_t profileChecksumWeights[PROFILE_CHECKSUM_WEIGHTS] = {
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

// A mixing step follows every 14 weights but the last 4 of the table, which
// wrap to weight 0 instead.
constexpr uint32_t PROFILE_CHECKSUM_MIX_PERIOD = 14;
