#include "args.h"

#include <CLI/CLI.hpp>
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

CLI::App *addCommand(CLI::App &app, const char *name, const char *help, ToolCommand which,
                     ToolOptions &options, CommonOptions &common) {
    CLI::App *command = app.add_subcommand(name, help);
    addCommonOptions(command, options, common);
    command->add_option("FILE", options.file, "the profile file")->required();
    command->callback([&options, which] { options.command = which; });
    return command;
}

void addSectionArguments(CLI::App *command, ToolOptions &options) {
    command->add_option("NAME", options.name, "section name")->required();
    command->add_option("VERSION", options.version, "section version")->required();
}

// SECTION VERSION KEY of the key commands.
void addKeyArguments(CLI::App *command, ToolOptions &options) {
    command->add_option("SECTION", options.name, "section name")->required();
    command->add_option("VERSION", options.version, "section version")->required();
    command->add_option("KEY", options.key, "key name")->required();
}

std::string oneLine(std::string text) {
    for (char &c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}
} // namespace

ParseOutcome parseArguments(const std::vector<std::string> &args, ToolOptions &options,
                            std::string &message) {
    message.clear();
    CommonOptions common;
    try {
        CLI::App app{"Inspects, verifies and repairs profile files, and reads and changes "
                     "their keys.\n"
                     "Exit codes: 0 done; 1 verify found a damaged section, or get or remove-key "
                     "found\nno such section or key; 2 the file could not be loaded or changed, "
                     "or its load\nended early at a line that could not be decoded; 64 usage "
                     "error.",
                     "kvprofile"};
        app.require_subcommand(1);
        app.set_version_flag("--version", std::string(),
                             "print the versions of kvprofile and of the library");

        CLI::App *show = addCommand(app, "show", "list every section in list order", //
                                    ToolCommand::Show, options, common);
        show->add_flag("--keys", options.keys, "list the keys under each section");

        addCommand(app, "verify",
                   "exit 0 when no section is damaged, 1 when one is, 2 when the file does not "
                   "load whole",
                   ToolCommand::Verify, options, common);

        CLI::App *find = addCommand(app, "find", "the information of one section",
                                    ToolCommand::Find, options, common);
        addSectionArguments(find, options);

        CLI::App *add = addCommand(app, "add-section", "create a section and save with checksums",
                                   ToolCommand::AddSection, options, common);
        addSectionArguments(add, options);
        add->add_flag("--create", options.create, "make a new file (an existing one is emptied)");

        CLI::App *rewrite = addCommand(app, "rewrite", "load the file and write it back",
                                       ToolCommand::Rewrite, options, common);
        rewrite->add_flag("--checksums", options.checksums, "end each section with a CSUM line");
        rewrite->add_flag("--refresh", options.refresh,
                          "give damaged sections their computed checksum");
        rewrite->add_flag("--encode", options.encode, "store every line encoded");

        CLI::App *get = addCommand(app, "get", "print a key's value (exit 1 when it is missing)",
                                   ToolCommand::Get, options, common);
        addKeyArguments(get, options);

        CLI::App *set = addCommand(app, "set", "set a key's value and save with checksums",
                                   ToolCommand::Set, options, common);
        addKeyArguments(set, options);
        set->add_option("VALUE", options.value, "the new value")->required();
        set->add_flag("--create", options.create, "create the section when it is missing");
        set->add_flag("--refresh", options.refresh,
                      "change a damaged section, accepting its keys as they are");

        CLI::App *remove = addCommand(app, "remove-key",
                                      "remove a key and save with checksums (exit 1 when it is "
                                      "missing)",
                                      ToolCommand::RemoveKey, options, common);
        addKeyArguments(remove, options);
        remove->add_flag("--refresh", options.refresh,
                         "change a damaged section, accepting its keys as they are");

        std::vector<const char *> argv;
        for (const std::string &a : args) argv.push_back(a.c_str());
        if (argv.empty()) argv.push_back("kvprofile");
        try {
            app.parse(static_cast<int>(argv.size()), argv.data());
        } catch (const CLI::CallForHelp &e) {
            app.exit(e);
            return ParseOutcome::Done;
        } catch (const CLI::CallForAllHelp &e) {
            app.exit(e);
            return ParseOutcome::Done;
        } catch (const CLI::CallForVersion &) {
            return ParseOutcome::Version;
        } catch (const CLI::ParseError &e) {
            message = "kvprofile: " + oneLine(e.what()) + " (see kvprofile --help)";
            return ParseOutcome::Usage;
        }
        for (const CLI::Option *option : common.transformOptions)
            if (option->count() > 0) options.hasTransform = true;
    } catch (const std::exception &e) {
        message = "kvprofile: " + oneLine(e.what());
        return ParseOutcome::Usage;
    }
    if (options.hasTransform && !parseTransform(common.transform, options.transform)) {
        message = "kvprofile: --transform needs a decimal number from 0 to 4294967295, not '" +
                  oneLine(common.transform) + "'";
        return ParseOutcome::Usage;
    }
    return ParseOutcome::Run;
}
