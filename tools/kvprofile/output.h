// What the commands print: a table for people, or one JSON object on
// standard output with --json.  Texts from the file are 8-bit and printed
// as UTF-8, every text for people through forPeople (text.h).
#pragma once

#include "args.h"
#include "profile/operations.h"
#include "session.h"

#include <cstdint>
#include <string>
#include <vector>

// show: every section; keys too with --keys (always with --json).
// endedAtLine: the line at which the load ended early, or 0 (the whole file
// was read).
void printSections(const ToolOptions &options, uint32_t endedAtLine,
                   const std::vector<SectionView> &sections);
// verify: the verdict, naming each damaged section and the line at which
// the load ended early, if it did.
void printVerdict(const ToolOptions &options, uint32_t endedAtLine,
                  const std::vector<SectionView> &sections);
// find: one section's information.
void printSectionInfo(const ToolOptions &options, const ProfileSectionInfo &info);
// get: the value and a line feed; with --json the key's object.  A damaged
// section's value comes with a warning on standard error.
void printValue(const ToolOptions &options, const ProfileSectionInfo &info,
                const std::string &value);
// add-section, rewrite, set, remove-key: success; what is a short text for
// people.
void printDone(const ToolOptions &options, const std::string &what);
// Any failure: the status and the collector's texts, on standard error for
// people, as {"status", "messages"} on standard output with --json.
void printFailure(const ToolOptions &options, const Failure &failure);
// get, remove-key: no such section or key.  One line on standard error
// (what: the missing thing); with --json the failure object.
void printMissing(const ToolOptions &options, const Failure &failure, const std::string &what);
// --version: the tool's version and the library's (or why it is unknown).
void printVersion(const char *toolVersion, const char *libraryVersion);
// A usage error or an unexpected failure: "kvprofile: " and the text, one
// line on standard error.
void printToolError(const std::string &text);
