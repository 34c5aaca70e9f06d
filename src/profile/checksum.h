// Checksums of key lines and sections.
#pragma once

#include "diag/collector.h"
#include "profile/records.h"

#include <cstddef>
#include <cstdint>

// The weighted checksum of a text under transform parameter P: blanks are
// skipped, every other byte adds weight * value - (P mod 99), with a rotation
// every 14 weights.  0 for an empty text.
uint32_t profileLineChecksum(const char *text, uint32_t transform);

// The checksum of the text "name=value" (no blanks around the sign).
// Returns 0, or 11 (recorded) for no key.
uint32_t profileKeyChecksum(ErrCollector *collector, const ProfileKey *key, uint32_t transform,
                            uint32_t *checksum);

// Sets the section's computed checksum to the wrapping sum over its keys.
// Returns 0, or 11 (recorded) for no section or a list failure.
uint32_t profileSectionChecksum(ErrCollector *collector, uint32_t transform,
                                ProfileSection *section);

// Stores sum as the section's computed checksum.  11 (recorded) for no section.
uint32_t profileSetChecksum(ErrCollector *collector, ProfileSection *section, uint32_t sum);
