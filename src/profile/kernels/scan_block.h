// One block's share of the key-line split's scan (format.h), for the
// kernels that scan lines as they read them: the plain line scans and the
// wide line decoders.
#pragma once

#include "profile/format.h"

#include <cstddef>
#include <cstdint>

// Notes the block's signs, its first refused byte and its first blank or
// sign in scan; each mask has bit i for byte at + i of the line, and only
// the first refused byte and the first stop of the line are kept.
// Internal linkage on purpose (static): every kernel file compiles its own
// copy for its own instruction set, so the linker never hands one file the
// wider code of another.
template <typename Mask>
[[gnu::always_inline]] static inline void scanNoteBlock(ProfileLineScan &scan, Mask blanks,
                                                        Mask signs, Mask refused, size_t at) {
    static_assert(sizeof(Mask) == 4 || sizeof(Mask) == 8);
    const auto first = [](Mask mask) {
        return static_cast<size_t>(sizeof(Mask) == 8 ? __builtin_ctzll(mask)
                                                     : __builtin_ctz(static_cast<uint32_t>(mask)));
    };
    scan.signs |= signs != 0;
    if (refused != 0 && scan.refusedAt == SIZE_MAX) scan.refusedAt = at + first(refused);
    const Mask stops = blanks | signs;
    if (stops != 0 && scan.nameEnd == SIZE_MAX) scan.nameEnd = at + first(stops);
}
