// The JSON objects of --json, as text (one object, ending in a line feed).
// Checksums are unsigned numbers, damaged flags booleans, texts UTF-8 with
// every control character escaped (text.h).
#pragma once

#include "profile/operations.h"
#include "session.h"

#include <cstdint>
#include <string>
#include <vector>

// {"file", "load_ended_at_line", "sections": [{"name", "version",
//  "key_count", "checksum", "stored_checksum", "damaged",
//  "keys": [{"name", "value"}]}]}; "load_ended_at_line" is null when the
// load read the whole file, else the number of the line it could not decode.
std::string jsonSections(const std::string &file, uint32_t endedAtLine,
                         const std::vector<SectionView> &sections);
// {"name", "version", "checksum", "damaged", "stored_checksum", "key_count"}
std::string jsonSectionInfo(const ProfileSectionInfo &info);
// {"name", "version", "key", "value", "damaged"}: get
std::string jsonKey(const ProfileSectionInfo &info, const std::string &key,
                    const std::string &value);
// {"status": 0}
std::string jsonDone();
// {"status", "messages"}
std::string jsonFailure(const Failure &failure);
