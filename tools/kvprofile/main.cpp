// kvprofile: inspects, verifies and repairs profile files with the
// library's own profile component.
#include "args.h"
#include "commands.h"
#include "kvinit64.h"
#include "output.h"
#include "support/process.h"
#include "text.h"

#include <cstdio>
#include <string>

namespace {
// kvprofile is released with the library and carries its version.
constexpr char KVPROFILE_VERSION[] = KVINIT64_VERSION;

int printVersions() {
    QDKlibInfoRec info{};
    uint32_t status = QDKgetLibInfo(&info);
    if (status != QDK_STATUS_OK) {
        printToolError("the library's version is unknown: QDKgetLibInfo returned status " +
                       std::to_string(status));
        return KVP_EXIT_FAILED;
    }
    printVersion(KVPROFILE_VERSION, info.version);
    return KVP_EXIT_OK;
}
} // namespace

int main(int argc, char **argv) {
    ToolOptions options;
    std::string message;
    switch (parseArguments(platArgumentsUtf8(argc, argv), options, message)) {
    case ParseOutcome::Done:
        return KVP_EXIT_OK;
    case ParseOutcome::Version: {
        int code = printVersions();
        flushOutput();
        return code;
    }
    case ParseOutcome::Usage:
        // The message may quote the command line: escaped like every text.
        std::fprintf(stderr, "%s\n", forPeople(message).c_str());
        return KVP_EXIT_USAGE;
    case ParseOutcome::Run:
        break;
    }
    int code = runCommand(options);
    flushOutput();
    return code;
}
