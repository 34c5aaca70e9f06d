// kvprofile: inspects, verifies and repairs profile files with the
// library's own profile component.
#include "args.h"
#include "commands.h"
#include "kvinit64.h"
#include "output.h"
#include "printer.h"
#include "support/process.h"
#include "text.h"

#include <cstdio>
#include <string>

namespace {
// kvprofile is released with the library and carries its version.
constexpr char KVPROFILE_VERSION[] = KVINIT64_VERSION;

int printVersions(Printer &out) {
    QDKlibInfoRec info{};
    uint32_t status = QDKgetLibInfo(&info);
    if (status != QDK_STATUS_OK) {
        printToolError(out, "the library's version is unknown: QDKgetLibInfo returned status " +
                                std::to_string(status));
        return KVP_EXIT_FAILED;
    }
    printVersion(KVPROFILE_VERSION, info.version, out);
    return KVP_EXIT_OK;
}

int run(const std::vector<std::string> &args, Printer &out) {
    ToolOptions options;
    std::string message;
    switch (parseArguments(args, options, message)) {
    case ParseOutcome::Done:
        out.print(message);
        return KVP_EXIT_OK;
    case ParseOutcome::Version:
        return printVersions(out);
    case ParseOutcome::Usage:
        // The message may quote the command line: escaped like every text.
        std::fprintf(stderr, "%s\n", forPeople(message).c_str());
        return KVP_EXIT_USAGE;
    case ParseOutcome::Run:
        break;
    }
    return runCommand(options, out);
}
} // namespace

int main(int argc, char **argv) {
    printerKeepBrokenPipes();
    Printer out(stdout);
    int code = run(platArgumentsUtf8(argc, argv), out);
    // Whatever the command did, output that did not reach its reader is a
    // failure: a script must not take a cut listing for the whole.
    if (!out.flush()) {
        std::fprintf(stderr, "kvprofile: cannot write standard output: %s\n", out.reason().c_str());
        return KVP_EXIT_FAILED;
    }
    return code;
}
