// The commands of kvprofile, each mapped onto the profile component's
// operations so that the tool shows exactly what the library sees.  Each
// prints its result through the printer (output.h) and returns the exit
// code.
#pragma once

#include "args.h"
#include "output.h"
#include "printer.h"
#include "session.h"

#include <string>

// Runs the command of the options.  Never throws.
int runCommand(const ToolOptions &options, Printer &out);

// The commands that change a file (changes.cpp).
int addSection(const ToolOptions &options, Printer &out);
int setKey(const ToolOptions &options, Printer &out);
int removeKey(const ToolOptions &options, Printer &out);
int removeSection(const ToolOptions &options, Printer &out);
int rewrite(const ToolOptions &options, Printer &out);
int repair(const ToolOptions &options, Printer &out);

// Shared by both files.
// Prints the failure and returns 2.
int failed(const ToolOptions &options, const Failure &failure, Printer &out);
// 'section "NAME" version "VERSION"' of the options.
std::string sectionText(const ToolOptions &options);
// A missing section or key (status 6 or 7) exits 1, with one line; when
// the load ended early it may be in the part not read: that is a failure.
int missing(const ToolOptions &options, const ProfileSession &session, const Failure &failure,
            Printer &out);
// As missing, for the missing thing in words.
int missingThing(const ToolOptions &options, const ProfileSession &session, const Failure &failure,
                 const std::string &what, Printer &out);
bool isMissing(uint32_t status);
