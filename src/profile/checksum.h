// Checksums of key lines and sections.
#pragma once

#include "diag/collector.h"
#include "profile/kernels/checksum_weights.h"
#include "profile/records.h"

#include <cstddef>
#include <cstdint>

// The weighted checksum of a text under transform parameter P: blanks are
// skipped, every other byte adds weight * value - (P mod 99), with a rotation
// every 14 weights.  0 for an empty text.
uint32_t profileLineChecksum(const char *text, uint32_t transform);
// The same over text[0..length), which may hold any byte.
uint32_t profileTextChecksum(const char *text, size_t length, uint32_t transform);

// The mixing rotation: value (no bit at or above `width`, 2 to 32) rotated
// left by count places within its low `width` bits, in constant time; the
// same as `count` single-bit rotations.  Other widths: value unchanged.
uint32_t profileChecksumRotate(uint32_t value, uint32_t count, uint32_t width);

// The checksum of the text "name=value" (no blanks around the sign).
// Returns 0, or 11 (recorded) for no key.
uint32_t profileKeyChecksum(ErrCollector *collector, const ProfileKey *key, uint32_t transform,
                            uint32_t *checksum);

// The checksum of the text "name=value" from the two texts and their
// lengths, as profileKeyChecksum takes it for a key.
uint32_t profileKeyTextChecksum(const char *name, size_t nameLength, const char *value,
                                size_t valueLength, uint32_t transform);

// Sets the section's computed checksum to the wrapping sum over its keys.
// Returns 0, or 11 (recorded) for no section or a list failure.
uint32_t profileSectionChecksum(ErrCollector *collector, uint32_t transform,
                                ProfileSection *section);

// Stores sum, taken over the section's keys as they are now under the
// transform parameter, as its computed checksum, so that
// profileSectionChecksum with the same parameter need not take it again
// until a key is added or the checksum is set.  The section must be given.
void profileSetKnownChecksum(ProfileSection *section, uint32_t sum, uint32_t transform);

// Stores sum as the section's computed checksum.  11 (recorded) for no section.
uint32_t profileSetChecksum(ErrCollector *collector, ProfileSection *section, uint32_t sum);
