// kvprofile: inspects, verifies and repairs profile files with the
// library's own profile component.
#include "args.h"
#include "commands.h"
#include "support/process.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
    ToolOptions options;
    std::string message;
    switch (parseArguments(platArgumentsUtf8(argc, argv), options, message)) {
    case ParseOutcome::Done:
        return KVP_EXIT_OK;
    case ParseOutcome::Usage:
        std::fprintf(stderr, "%s\n", message.c_str());
        return KVP_EXIT_USAGE;
    case ParseOutcome::Run:
        break;
    }
    return runCommand(options);
}
