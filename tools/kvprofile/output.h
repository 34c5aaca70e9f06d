// What the commands print: a table for people, or one JSON object on
// standard output with --json, all through the one Printer.  Texts from the
// file are 8-bit and printed as UTF-8, every text for people through
// forPeople (text.h).
#pragma once

#include "args.h"
#include "printer.h"
#include "profile/operations.h"
#include "session.h"
#include "state.h"

#include <string>

// show: every section of the open file with its state; keys too with
// --keys (always with --json); the file's verdict when it is not OK.
// Printed from the library's records, not from copies: a first walk counts
// the sections and sizes the table's columns, a second prints the rows.  A
// walk that fails fills failure and returns false; the first ends before
// anything is printed, so its failure leaves the output empty.
bool printSections(const ToolOptions &options, ProfileSession &session, Printer &out,
                   Failure &failure);
// verify: the verdict and, one a line, each section that is not ok and
// why; the hint to try --decode for a file that holds sections so.  With
// --json every section, as show.  verdict receives the file's verdict.
bool printVerdict(const ToolOptions &options, ProfileSession &session, Printer &out,
                  FileVerdict &verdict, Failure &failure);
// find: one section's information.
void printSectionInfo(const ToolOptions &options, const ProfileSectionInfo &info, Printer &out);
// get: the value and a line feed; with --json the key's object.  A damaged
// section's value comes with a warning on standard error.
void printValue(const ToolOptions &options, const ProfileSectionInfo &info,
                const std::string &value, Printer &out);
// The commands that change a file: nothing, unless --verbose (what, for
// people) or --json ({"status": 0}).
void printDone(const ToolOptions &options, Printer &out, const std::string &what);
// Any failure, on standard error for people: "kvprofile: FILE:LINE: the
// rule" for a line the load refused, then "kvprofile: FILE: failed with
// status N" and the collector's texts, one a line, then any other reason
// the library gave (the system's, a refused value's rule) on its own line;
// with --json {"status", "messages", "detail", "line"} on standard output.
void printFailure(const ToolOptions &options, const Failure &failure, Printer &out);
// get, keys, remove-key, remove-section: no such section or key.  One line
// on standard error (what: the missing thing); with --json the failure
// object.
void printMissing(const ToolOptions &options, const Failure &failure, const std::string &what,
                  Printer &out);
// --version: the tool's version and the library's.
void printVersion(const char *toolVersion, const char *libraryVersion, Printer &out);
// "kvprofile: " and the text, one line on standard error, after what the
// printer holds has gone out.
void printToolError(Printer &out, const std::string &text);
