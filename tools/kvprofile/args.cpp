#include "args.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>

namespace {
// Strict decimal 0 to 4294967295: no sign, no blanks, no other base.
bool parseTransform(const std::string &text, uint32_t &value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > UINT32_MAX) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// The commands in the order --help lists them, with their one-line help.
struct CommandName {
    const char *name;
    ToolCommand command;
    const char *help;
};
constexpr CommandName COMMANDS[] = {
    {"show", ToolCommand::Show, "list every section with its checksum state"},
    {"verify", ToolCommand::Verify,
     "exit 0 only when every section is read whole and protected by its checksum"},
    {"sections", ToolCommand::Sections, "one section name and version a line"},
    {"keys", ToolCommand::Keys, "the key names of one section, one a line"},
    {"find", ToolCommand::Find, "the information of one section"},
    {"get", ToolCommand::Get, "print a key's value (exit 1 when it is missing)"},
    {"dump", ToolCommand::Dump, "every key as a 'section version key = value' line, shell-quoted"},
    {"add-section", ToolCommand::AddSection, "create an empty section"},
    {"set", ToolCommand::Set, "set a key's value"},
    {"remove-key", ToolCommand::RemoveKey, "remove a key (exit 1 when it is missing)"},
    {"remove-section", ToolCommand::RemoveSection,
     "remove a section with its keys (exit 1 when it is missing)"},
    {"rewrite", ToolCommand::Rewrite, "load the file and write it back"},
    {"repair", ToolCommand::Repair,
     "drop the keys holding control characters, which block every update, and say which"},
};
constexpr char HELP_COMMAND[] = "help";

struct CommonOptions {
    std::string transform;
    std::vector<CLI::Option *> transformOptions; // one per command
};

void addCommonOptions(CLI::App *command, ToolOptions &options, CommonOptions &common) {
    common.transformOptions.push_back(
        command
            ->add_option("--transform", common.transform,
                         "transform parameter of the context, decimal (default: the library's)")
            ->type_name("P"));
    command->add_flag("--decode", options.decode, "the file's lines are stored encoded");
    command->add_flag("--json", options.json, "print one JSON object for scripts");
}

void addSectionArguments(CLI::App *command, ToolOptions &options) {
    command->add_option("SECTION", options.name, "section name")->required();
    command->add_option("VERSION", options.version, "section version")->required();
}

void addKeyArguments(CLI::App *command, ToolOptions &options) {
    addSectionArguments(command, options);
    command->add_option("KEY", options.key, "key name")->required();
}

void addVerbose(CLI::App *command, ToolOptions &options) {
    command->add_flag("--verbose,-v", options.verbose, "say what changed");
}

void addRefresh(CLI::App *command, ToolOptions &options) {
    command->add_flag("--refresh", options.refresh,
                      "change a damaged section, accepting its keys as they are");
}

// The options and arguments of each command beyond FILE and the common ones.
void addArguments(CLI::App *command, ToolCommand which, ToolOptions &options) {
    switch (which) {
    case ToolCommand::Show:
        command->add_flag("--keys", options.keys, "list the keys under each section");
        break;
    case ToolCommand::Verify:
        command->add_flag("--allow-unchecked", options.allowUnchecked,
                          "accept sections without a checksum line");
        break;
    case ToolCommand::Sections:
    case ToolCommand::Dump:
        break;
    case ToolCommand::Keys:
        command->add_option("SECTION", options.name, "section name")->required();
        command->add_option("VERSION", options.version,
                            "section version (needed when the name has several)");
        break;
    case ToolCommand::Find:
        addSectionArguments(command, options);
        break;
    case ToolCommand::Get:
        addKeyArguments(command, options);
        break;
    case ToolCommand::AddSection:
        addSectionArguments(command, options);
        command->add_flag("--create", options.create, "create the file when it is missing");
        addVerbose(command, options);
        break;
    case ToolCommand::Set:
        addKeyArguments(command, options);
        command->add_option("VALUE", options.value, "the new value")->required();
        command->add_flag("--create", options.create,
                          "create the section, and the file, when missing");
        addRefresh(command, options);
        addVerbose(command, options);
        break;
    case ToolCommand::RemoveKey:
        addKeyArguments(command, options);
        addRefresh(command, options);
        addVerbose(command, options);
        break;
    case ToolCommand::RemoveSection:
        addSectionArguments(command, options);
        addVerbose(command, options);
        break;
    case ToolCommand::Rewrite: {
        CLI::Option *with = command->add_flag(
            "--checksums", options.checksums,
            "end each section with a CSUM line (by default: when the file had them)");
        CLI::Option *without = command->add_flag("--no-checksums", options.noChecksums,
                                                 "write no CSUM lines, dropping the protection");
        with->excludes(without);
        command->add_flag("--refresh", options.refresh,
                          "give damaged sections their computed checksum");
        command->add_flag("--encode", options.encode, "store every line encoded");
        addVerbose(command, options);
        break;
    }
    case ToolCommand::Repair:
        break;
    }
}

std::string oneLine(std::string text) {
    for (char &c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// The edit distance of two short texts (insert, delete, change: 1 each).
size_t distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

bool isCommand(const std::string &word) {
    if (word == HELP_COMMAND) return true;
    return std::any_of(std::begin(COMMANDS), std::end(COMMANDS),
                       [&](const CommandName &c) { return word == c.name; });
}

// "kvprofile: 'shwo' is not a command; did you mean 'show'?"
std::string unknownCommand(const std::string &word) {
    const char *closest = HELP_COMMAND;
    size_t best = distance(word, closest);
    for (const CommandName &c : COMMANDS) {
        size_t d = distance(word, c.name);
        if (d < best) best = d, closest = c.name;
    }
    std::string text = "kvprofile: '" + oneLine(word) + "' is not a command";
    if (best <= std::max<size_t>(2, word.size() / 3))
        text += "; did you mean '" + std::string(closest) + "'?";
    return text + " (see kvprofile --help)";
}

constexpr char DESCRIPTION[] =
    "Inspects, verifies and repairs profile files, and reads and changes their keys.\n"
    "FILE '-' reads standard input (the commands that only read).  The commands that\n"
    "change a file print nothing on success (--verbose says what changed).\n"
    "Exit codes: 0 done (verify: every section read whole and protected by its checksum);\n"
    "1 verify: a section is DAMAGED; get, keys, remove-key, remove-section: no such section\n"
    "or key; 2 a failure, standard output not written, or verify: INCOMPLETE or NOTHING\n"
    "RECOGNISED; 3 verify: sections UNCHECKED (no checksum) or UNCOVERED (keys after it)\n"
    "only; 64 usage error.";
} // namespace

bool isReadingCommand(ToolCommand command) {
    switch (command) {
    case ToolCommand::Show:
    case ToolCommand::Verify:
    case ToolCommand::Sections:
    case ToolCommand::Keys:
    case ToolCommand::Find:
    case ToolCommand::Get:
    case ToolCommand::Dump:
        return true;
    default:
        return false;
    }
}

ParseOutcome parseArguments(const std::vector<std::string> &args, ToolOptions &options,
                            std::string &message) {
    message.clear();
    CommonOptions common;
    try {
        CLI::App app{DESCRIPTION, "kvprofile"};
        app.require_subcommand(1);
        app.set_version_flag("--version", std::string(),
                             "print the versions of kvprofile and of the library");
        for (const CommandName &c : COMMANDS) {
            CLI::App *command = app.add_subcommand(c.name, c.help);
            addCommonOptions(command, options, common);
            command->add_option("FILE", options.file, "the profile file ('-': standard input)")
                ->required();
            addArguments(command, c.command, options);
            ToolCommand which = c.command;
            command->callback([&options, which] { options.command = which; });
        }
        std::string topic;
        CLI::App *help = app.add_subcommand(HELP_COMMAND, "the help of one command");
        help->add_option("COMMAND", topic, "the command");

        if (args.size() <= 1) {
            message = "kvprofile: a command is needed (see kvprofile --help for the list)";
            return ParseOutcome::Usage;
        }
        // An unknown command is named, with the closest one.
        if (args.size() > 1 && !args[1].empty() && args[1][0] != '-' && !isCommand(args[1])) {
            message = unknownCommand(args[1]);
            return ParseOutcome::Usage;
        }
        std::vector<const char *> argv;
        for (const std::string &a : args) argv.push_back(a.c_str());
        if (argv.empty()) argv.push_back("kvprofile");
        try {
            app.parse(static_cast<int>(argv.size()), argv.data());
        } catch (const CLI::CallForHelp &) {
            message = app.help();
            return ParseOutcome::Done;
        } catch (const CLI::CallForAllHelp &) {
            message = app.help("", CLI::AppFormatMode::All);
            return ParseOutcome::Done;
        } catch (const CLI::CallForVersion &) {
            return ParseOutcome::Version;
        } catch (const CLI::ParseError &e) {
            message = "kvprofile: " + oneLine(e.what()) + " (see kvprofile --help)";
            return ParseOutcome::Usage;
        }
        if (help->parsed()) {
            if (topic.empty()) {
                message = app.help();
                return ParseOutcome::Done;
            }
            if (!isCommand(topic)) {
                message = unknownCommand(topic);
                return ParseOutcome::Usage;
            }
            message = app.get_subcommand(topic)->help("kvprofile");
            return ParseOutcome::Done;
        }
        for (const CLI::Option *option : common.transformOptions)
            if (option->count() > 0) options.hasTransform = true;
        for (CLI::App *command : app.get_subcommands()) {
            CLI::Option *version = command->get_option_no_throw("VERSION");
            if (version != nullptr && version->count() > 0) options.hasVersion = true;
        }
    } catch (const std::exception &e) {
        message = "kvprofile: " + oneLine(e.what());
        return ParseOutcome::Usage;
    }
    if (options.hasTransform && !parseTransform(common.transform, options.transform)) {
        message = "kvprofile: --transform needs a decimal number from 0 to 4294967295, not '" +
                  oneLine(common.transform) + "'";
        return ParseOutcome::Usage;
    }
    if (options.file == KVP_STANDARD_INPUT && !isReadingCommand(options.command)) {
        message = "kvprofile: '-' (standard input) is for the commands that only read; this one "
                  "changes a file";
        return ParseOutcome::Usage;
    }
    return ParseOutcome::Run;
}
