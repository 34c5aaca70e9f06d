// The commands of kvprofile, each mapped onto the profile component's
// operations so that the tool shows exactly what the library sees.  Each
// prints its result (output.h) and returns the exit code.
#pragma once

#include "args.h"

// Runs the command of the options.  Never throws.
int runCommand(const ToolOptions &options);
