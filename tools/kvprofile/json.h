// The JSON objects of --json, as text (one object, ending in a line feed).
// Checksums are unsigned numbers, damaged flags booleans, texts UTF-8.
#pragma once

#include "profile/operations.h"
#include "session.h"

#include <cstdint>
#include <string>
#include <vector>

// {"file", "sections": [{"name", "version", "key_count", "checksum",
//  "stored_checksum", "damaged", "keys": [{"name", "value"}]}]}
std::string jsonSections(const std::string &file, const std::vector<SectionView> &sections);
// {"name", "version", "checksum", "damaged", "stored_checksum", "key_count"}
std::string jsonSectionInfo(const ProfileSectionInfo &info);
// {"status": 0}
std::string jsonDone();
// {"status", "messages"}
std::string jsonFailure(const Failure &failure);
