// What the commands print: a table for people, or one JSON object on
// standard output with --json.  Texts from the file are 8-bit and printed
// as UTF-8 (text.h).
#pragma once

#include "args.h"
#include "profile/operations.h"
#include "session.h"

#include <string>
#include <vector>

// show: every section; keys too with --keys (always with --json).
void printSections(const ToolOptions &options, const std::vector<SectionView> &sections);
// verify: the verdict, naming each damaged section.
void printVerdict(const ToolOptions &options, const std::vector<SectionView> &sections);
// find: one section's information.
void printSectionInfo(const ToolOptions &options, const ProfileSectionInfo &info);
// add-section, rewrite: success; what is a short text for people.
void printDone(const ToolOptions &options, const std::string &what);
// Any failure: the status and the collector's texts, on standard error for
// people, as {"status", "messages"} on standard output with --json.
void printFailure(const ToolOptions &options, const Failure &failure);
