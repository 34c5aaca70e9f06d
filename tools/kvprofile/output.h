// What the commands print: a table for people, or one JSON object on
// standard output with --json.  Texts from the file are 8-bit and printed
// as UTF-8, every text for people through forPeople (text.h).
#pragma once

#include "args.h"
#include "profile/operations.h"
#include "session.h"

#include <cstddef>
#include <string>

// show: every section of the open file; keys too with --keys (always with
// --json); "INCOMPLETE" when the load ended early.  Printed from the
// library's records, not from copies: a first walk counts the sections and
// sizes the table's columns, then the rows are printed, from a second walk
// (with keys, and for files of very many sections) or from a compact form
// of them kept by the first (at most 1 MiB).  A walk that fails fills
// failure and returns false; the first ends before anything is printed, so
// its failure leaves the output empty.
bool printSections(const ToolOptions &options, ProfileSession &session, Failure &failure);
// verify: the verdict, naming each damaged section and the line at which
// the load ended early, if it did; with --json every section, as show.
// Walks as printSections does; damaged receives the count of damaged
// sections.
bool printVerdict(const ToolOptions &options, ProfileSession &session, size_t &damaged,
                  Failure &failure);
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
// Writes what the commands have printed on standard output and not yet
// written (output is gathered into large writes) and flushes it.  Called
// before anything goes to standard error and before the tool exits.
void flushOutput();
// A usage error or an unexpected failure: "kvprofile: " and the text, one
// line on standard error.
void printToolError(const std::string &text);
