// The command line of kvprofile: commands, their options, exit codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int KVP_EXIT_OK = 0;
constexpr int KVP_EXIT_DAMAGED = 1; // verify: a section is damaged
constexpr int KVP_EXIT_MISSING = 1; // get, keys, remove-key, remove-section: no such section or key
constexpr int KVP_EXIT_FAILED = 2;  // a failure; verify: read in part, or no section recognised;
                                    // standard output could not be written
constexpr int KVP_EXIT_UNCHECKED = 3; // verify: sections without a checksum, or keys after it
constexpr int KVP_EXIT_USAGE = 64;    // the command line is wrong

enum class ToolCommand {
    Show,
    Verify,
    Sections,
    Keys,
    Find,
    Get,
    Dump,
    AddSection,
    Set,
    RemoveKey,
    RemoveSection,
    Rewrite,
    Repair,
};

// The standard input as FILE, for the commands that only read.
constexpr char KVP_STANDARD_INPUT[] = "-";

struct ToolOptions {
    ToolCommand command = ToolCommand::Show;
    std::string file;
    std::string name;    // the section
    std::string version; // the section's version (keys: may be absent)
    bool hasVersion = false;
    std::string key;   // get, set, remove-key
    std::string value; // set
    bool json = false;
    bool decode = false;      // the file's lines are stored encoded
    bool keys = false;        // show: list the keys under each section
    bool create = false;      // add-section, set: a missing file (and set: section) is made
    bool checksums = false;   // rewrite: write checksums whatever the file had
    bool noChecksums = false; // rewrite: write no checksums
    bool refresh = false;     // rewrite: save flag bit 2; set, remove-key: accept a damaged section
    bool encode = false;      // rewrite: save flag bit 0
    bool verbose = false;     // the changing commands say what changed
    bool allowUnchecked = false; // verify: sections without a checksum pass
    bool hasTransform = false;
    uint32_t transform = 0;
};

enum class ParseOutcome {
    Run,     // options holds a command to run
    Done,    // help was asked for: helpText holds it, for standard output
    Version, // --version: the caller prints the versions
    Usage,   // the command line is wrong: message holds one line for people
};

// Parses the arguments (argv[0] included, UTF-8).  Never throws.  On Done,
// message holds the help text to print.
ParseOutcome parseArguments(const std::vector<std::string> &args, ToolOptions &options,
                            std::string &message);

// True for the commands that only read a file (and so take "-").
bool isReadingCommand(ToolCommand command);
