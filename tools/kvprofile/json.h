// The JSON objects of --json, as text (one object, ending in a line feed).
// Checksums are unsigned numbers, damaged flags booleans, texts UTF-8 with
// every control character escaped (text.h).
#pragma once

#include "profile/operations.h"
#include "session.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// show and verify: {"file", "state", "load_ended_at_line", "sections":
// [{"name", "version", "key_count", "checksum", "stored_checksum",
// "damaged", "state", "keys_after_checksum", "keys": [{"name", "value"}]}]};
// "state" is the verdict word (state.h) of the file and the state word of
// each section; "load_ended_at_line" is null when the load read the whole
// file, else the number of the line it could not decode.
// Written in pieces, appended to out one section and one key at a time, as
// the JSON library's dump with an indent of 2 lays the object out: a file
// can have millions of sections, and the object whole would be many times
// the loaded file (memory).  first: the first section of the list, or the
// first key of the section.
void appendJsonSectionsHead(std::string &out, const std::string &file, std::string_view state,
                            uint32_t endedAtLine);
void appendJsonSection(std::string &out, const SectionView &section, std::string_view state,
                       bool first); // to "keys": [
void appendJsonKey(std::string &out, const char *name, const char *value, bool first);
void appendJsonSectionEnd(std::string &out, bool hadKeys);
void appendJsonSectionsEnd(std::string &out, bool hadSections); // the closing brace, a line feed
// {"name", "version", "checksum", "damaged", "stored_checksum", "key_count"}
std::string jsonSectionInfo(const ProfileSectionInfo &info);
// {"name", "version", "key", "value", "damaged"}: get
std::string jsonKey(const ProfileSectionInfo &info, const std::string &key,
                    const std::string &value);
// {"status": 0}
std::string jsonDone();
// {"status", "messages", "detail", "line"}: detail null when the library gave
// none, line null when it names none.
std::string jsonFailure(const Failure &failure);
// {"file", "sections": [{"name", "version"}]}: sections, the reserved one left out.
void appendJsonNamesHead(std::string &out, const std::string &file);
void appendJsonName(std::string &out, const SectionView &section, bool first);
// {"file", "section", "version", "keys": ["name", ...]}: keys
void appendJsonKeysHead(std::string &out, const std::string &file, const SectionView &section);
void appendJsonKeyName(std::string &out, const char *name, bool first);
// The closing of either: "]" and "}", a line feed.
void appendJsonListEnd(std::string &out, bool hadItems);
