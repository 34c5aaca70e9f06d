// The command line of kvprofile: commands, their options, exit codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int KVP_EXIT_OK = 0;
constexpr int KVP_EXIT_DAMAGED = 1; // verify: the file loads, a section is damaged
constexpr int KVP_EXIT_MISSING = 1; // get, remove-key: no such section or key
constexpr int KVP_EXIT_FAILED = 2;  // the component reported a failure, or the load ended early
constexpr int KVP_EXIT_USAGE = 64;  // the command line is wrong

enum class ToolCommand { Show, Verify, Find, AddSection, Rewrite, Get, Set, RemoveKey };

struct ToolOptions {
    ToolCommand command = ToolCommand::Show;
    std::string file;
    std::string name;    // find, add-section, get, set, remove-key: the section
    std::string version; // find, add-section, get, set, remove-key
    std::string key;     // get, set, remove-key
    std::string value;   // set
    bool json = false;
    bool decode = false;    // the file's lines are stored encoded
    bool keys = false;      // show: list the keys under each section
    bool create = false;    // add-section: make a new file (open mode "w"); set: a new section
    bool checksums = false; // rewrite: save flag bit 1
    bool refresh = false;   // rewrite: save flag bit 2; set, remove-key: accept a damaged section
    bool encode = false;    // rewrite: save flag bit 0
    bool hasTransform = false;
    uint32_t transform = 0;
};

enum class ParseOutcome {
    Run,     // options holds a command to run
    Done,    // help was asked for and printed on standard output
    Version, // --version: the caller prints the versions
    Usage,   // the command line is wrong: message holds one line for people
};

// Parses the arguments (argv[0] included, UTF-8).  Never throws.
ParseOutcome parseArguments(const std::vector<std::string> &args, ToolOptions &options,
                            std::string &message);
