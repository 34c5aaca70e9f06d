// kvprofile as an operator meets it: verify's states and exit codes, output
// that cannot be written, the commands beside get and set, messages that
// name the file, the line and the rule, and the manual page.
#include "kvprofile_run.h"
#include "support/fixtures.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace kvprofile_run;

namespace {
// A section "[NAME 1]" holding the key lines (texts "k = v"), ending with
// the line given as its checksum line ("" for none; "@" for the matching
// one).
std::string section(const std::string &name, const std::vector<std::string> &keys,
                    const std::string &checksumLine = "@") {
    std::string text = "\n[" + name + " 1]\n";
    std::vector<std::string> sums;
    for (const std::string &k : keys) {
        text += k + "\n";
        sums.push_back(k.substr(0, k.find(" = ")) + "=" + k.substr(k.find(" = ") + 3));
    }
    if (checksumLine == "@") return text + "CSUM = " + csum(sectionSum(sums)) + "\n";
    return checksumLine.empty() ? text : text + checksumLine + "\n";
}

// Makes file a copy of text stored encoded (through the tool itself).
bool writeEncoded(const ScratchDir &dir, const std::string &file, const std::string &text) {
    return writeFile(file, text) &&
           runTool(dir, {"rewrite", file, "--checksums", "--encode"}).exit == 0;
}

#ifndef _WIN32
// Runs kvprofile with its standard input read from inPath and its standard
// output the writing end of a pipe whose reading end is already closed
// (brokenOut), or outPath.
struct Redirected {
    std::vector<std::string> args;
    std::string inPath, outPath, errPath;
    bool brokenOut = false;
};

int runRedirectedChild(void *arg) {
    const auto *r = static_cast<const Redirected *>(arg);
    int in = open(r->inPath.c_str(), O_RDONLY);
    int err = open(r->errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int out = -1;
    if (r->brokenOut) {
        int ends[2];
        if (pipe(ends) != 0) return 100;
        close(ends[0]);
        out = ends[1];
    } else {
        out = open(r->outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        return 101;
    std::string tool = (fs::path(platSelfPath()).parent_path() / KV_TOOL_FILE).string();
    std::vector<char *> argv{const_cast<char *>(tool.c_str())};
    for (const std::string &a : r->args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(tool.c_str(), argv.data());
    return 102;
}

// outPath empty: a file of the scratch folder, read back into out; any
// other (/dev/full) is not read.
ToolRun runRedirected(const ScratchDir &dir, const std::vector<std::string> &args,
                      const std::string &inPath, std::string outPath = "", bool brokenOut = false) {
    Redirected r;
    r.args = args;
    r.inPath = inPath;
    r.outPath = outPath.empty() ? dir.file("redirected.out") : outPath;
    r.errPath = dir.file("redirected.err");
    r.brokenOut = brokenOut;
    ToolRun run;
    run.exit = platWaitProcess(platFork(runRedirectedChild, &r));
    if (!r.brokenOut && outPath.empty()) run.out = readFile(r.outPath); // not /dev/full
    run.err = readFile(r.errPath);
    return run;
}
#endif
} // namespace

// One fixture per state: verify's headline and exit code, the state word of
// show's table and of the JSON, for the section named "S".
TEST(KvprofileStates, VerifyAndShowNameEachStateWithItsExitCode) {
    ScratchDir dir;
    std::string encoded = dir.file("encoded.ini");
    ASSERT_TRUE(writeEncoded(dir, encoded, std::string(RESERVED) + section("S", {"a = x"})));
    std::string cut = dir.file("cut.ini");
    ASSERT_TRUE(writeEncoded(dir, cut, std::string(RESERVED) + section("S", {"a = x"})));
    ASSERT_TRUE(writeFile(cut, readFile(cut) + "not an encoded line\n"));
    std::string empty = dir.file("empty.ini");
    ASSERT_TRUE(writeFile(empty, ""));
    struct Case {
        const char *name;
        std::string text; // empty: the file is there already
        std::string file;
        std::vector<std::string> options;
        int exit;
        const char *verdict; // null: the file does not load
        const char *state;   // of section S; null when there is none
        const char *words;   // in verify's output (its errors when it does not load)
    } cases[] = {
        {"clean",
         RESERVED + section("S", {"a = x", "b = y"}),
         "",
         {},
         0,
         "OK",
         "ok",
         "all checked"},
        {"empty section", RESERVED + section("S", {}), "", {}, 0, "OK", "ok", ""},
        {"unchecked",
         RESERVED + section("S", {"a = x"}, ""),
         "",
         {},
         3,
         "UNCHECKED",
         "UNCHECKED",
         "no checksum line"},
        {"allowed",
         RESERVED + section("S", {"a = x"}, ""),
         "",
         {"--allow-unchecked"},
         0,
         "OK",
         "UNCHECKED",
         "UNCHECKED (allowed)"},
        {"no number",
         RESERVED + section("S", {"a = x"}, "CSUM = abc"),
         "",
         {},
         3,
         "UNCHECKED",
         "UNCHECKED",
         "holds no number"},
        {"zero",
         RESERVED + section("S", {"a = x"}, "CSUM = 0"),
         "",
         {},
         3,
         "UNCHECKED",
         "UNCHECKED",
         "is 0"},
        {"uncovered",
         RESERVED + section("S", {"a = x"}) + "b = y\nc = z\n",
         "",
         {},
         3,
         "UNCOVERED",
         "UNCOVERED",
         "2 keys after the checksum line"},
        {"damaged",
         RESERVED + section("S", {"a = x"}, "CSUM = 5") + section("T", {"k = v"}, ""),
         "",
         {},
         1,
         "DAMAGED",
         "DAMAGED",
         "stored checksum 5"},
        {"incomplete", "", cut, {"--decode"}, 2, "INCOMPLETE", "ok", "line 8"},
        {"not a profile",
         "root:x:0:0:root:/root:/bin/bash\nbin:x:1:1::/:\n",
         "",
         {},
         2,
         "NOTHING RECOGNISED",
         nullptr,
         "no section in 2 lines"},
        {"encoded, no --decode",
         "",
         encoded,
         {},
         2,
         nullptr,
         nullptr,
         "holds 1 section: try --decode"},
        {"encoded", "", encoded, {"--decode"}, 0, "OK", "ok", ""},
        {"empty file", "", empty, {}, 0, "OK", nullptr, "0 sections"},
    };
    for (Case &c : cases) {
        if (c.file.empty()) {
            c.file = dir.file(std::string(c.name) + ".ini");
            ASSERT_TRUE(writeFile(c.file, c.text));
        }
        std::vector<std::string> args = {"verify", c.file};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ToolRun run = runTool(dir, args);
        EXPECT_EQ(run.exit, c.exit) << c.name << ": " << run.out << run.err;
        if (c.verdict == nullptr) {
            EXPECT_NE(run.err.find(c.words), std::string::npos) << c.name << ": " << run.err;
            continue;
        }
        EXPECT_EQ(run.out.rfind(std::string(c.verdict) + ": ", 0), 0u) << c.name << ": " << run.out;
        EXPECT_NE(run.out.find(c.words), std::string::npos) << c.name << ": " << run.out;

        args.push_back("--json");
        json j = parsed(runTool(dir, args));
        EXPECT_EQ(j["state"], c.verdict) << c.name;
        // show takes no --allow-unchecked: its words are the sections' own.
        std::vector<std::string> show = {"show", c.file};
        for (const std::string &o : c.options)
            if (o == "--decode") show.push_back(o);
        show.push_back("--json");
        ToolRun shown = runTool(dir, show);
        EXPECT_EQ(shown.exit, 0) << c.name << ": " << shown.err;
        json s = parsed(shown);
        show.pop_back();
        std::string row = lineWith(runTool(dir, show).out, " S  ");
        if (c.state == nullptr) {
            EXPECT_EQ(j["sections"].size(), 0u) << c.name;
            continue;
        }
        ASSERT_GE(j["sections"].size(), 2u) << c.name;
        EXPECT_EQ(j["sections"][1]["state"], c.state) << c.name;
        EXPECT_EQ(s["sections"][1]["state"], c.state) << c.name;
        EXPECT_EQ(j["sections"][0]["state"], "reserved") << c.name;
        EXPECT_NE(row.find(c.state), std::string::npos) << c.name << ": " << row;
        EXPECT_EQ(row.rfind("! ", 0) == 0, std::string(c.state) != "ok") << c.name << ": " << row;
    }
}

// Output that cannot be written is a failure, whatever the command did: a
// full disk and a closed pipe exit 2 with the reason on standard error.
TEST(KvprofileOutput, UnwrittenOutputExitsTwo) {
#ifdef _WIN32
    GTEST_SKIP() << "no /dev/full and no fork on Windows";
#else
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    ASSERT_TRUE(writeFile(file, mainAndDamagedOther()));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"show", file}, {"--version"}, {"show", file, "--json"}}) {
        ToolRun run = runRedirected(dir, args, "/dev/null", "/dev/full");
        EXPECT_EQ(run.exit, 2) << args[0] << ": " << run.err;
        EXPECT_NE(run.err.find("cannot write standard output"), std::string::npos) << run.err;
    }
    // A closed pipe does not kill the tool (no SIGPIPE): the change is
    // saved, and the unwritten --verbose line makes it exit 2; without
    // --verbose nothing is written and it succeeds.
    ToolRun run =
        runRedirected(dir, {"set", file, "Main", "1.0", "a", "z", "-v"}, "/dev/null", "", true);
    EXPECT_EQ(run.exit, 2) << run.err;
    EXPECT_NE(run.err.find("Broken pipe"), std::string::npos) << run.err;
    EXPECT_NE(readFile(file).find("a = z\n"), std::string::npos);
    run = runRedirected(dir, {"set", file, "Main", "1.0", "a", "w"}, "/dev/null", "", true);
    EXPECT_EQ(run.exit, 0) << run.err;
    run = runRedirected(dir, {"show", file}, "/dev/null", "", true);
    EXPECT_EQ(run.exit, 2) << run.err;
#endif
}

// The commands beside get and set, and what each prints and exits with.
TEST(KvprofileCommands, OperatorCommandsAndTheirExitCodes) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    std::string twice = dir.file("twice.ini");
    std::string created = dir.file("new/../created.ini");
    std::string odd = std::string(RESERVED) + "\n[Main 1.0]\nmotd = it's \x1B(0 $HOME\n";
    ASSERT_TRUE(
        writeFile(twice, std::string(RESERVED) + section("A", {"k = v"}) + "\n[A 2]\nj = w\n"));
    ASSERT_TRUE(writeFile(dir.file("odd.ini"), odd));
    fs::create_directory(fs::u8path(dir.file("new")));
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string out; // exactly, or "~text": contains
    } cases[] = {
        // set --create makes a missing file; changing commands are quiet.
        {{"set", file, "Main", "1.0", "host", "alpha", "--create"}, 0, ""},
        {{"set", file, "Main", "1.0", "port", "80"}, 0, ""},
        {{"set", file, "Other", "2", "k", "v", "--create", "-v"},
         0,
         "set key \"k\" in section \"Other\" version \"2\" of " + file + "\n"},
        {{"add-section", file, "Empty", "3", "--create"}, 0, ""}, // an existing file is kept
        {{"sections", file}, 0, "Main 1.0\nOther 2\nEmpty 3\n"},
        {{"keys", file, "Main"}, 0, "host\nport\n"},
        {{"keys", file, "Main", "1.0"}, 0, "host\nport\n"},
        {{"keys", file, "Main", "9"}, 1, ""},
        {{"keys", file, "Nothing"}, 1, ""},
        {{"keys", twice, "A"}, 2, ""},
        {{"keys", twice, "A", "2"}, 0, "j\n"},
        {{"dump", file}, 0, "Main 1.0 host = alpha\nMain 1.0 port = 80\nOther 2 k = v\n"},
        {{"dump", dir.file("odd.ini")}, 0, "Main 1.0 motd = $'it\\'s \\x1B(0 $HOME'\n"},
        {{"remove-section", file, "Other", "2"}, 0, ""},
        {{"remove-section", file, "Other", "2"}, 1, ""},
        {{"remove-section", file, "S-y-S-t-E-m", "1"}, 2, ""},
        {{"sections", file}, 0, "Main 1.0\nEmpty 3\n"},
        {{"verify", file}, 0, "~OK: "},
        {{"rewrite", file, "--no-checksums"}, 0, ""},
        {{"verify", file}, 3, "~UNCHECKED: "},
        {{"rewrite", file}, 0, ""}, // keeps the file as it is: unprotected
        {{"verify", file}, 3, "~UNCHECKED: "},
        {{"rewrite", file, "--checksums", "--no-checksums"}, 64, ""},
        {{"set", created, "A", "1", "k", "bad?", "--create"}, 2, ""}, // refused: no file made
        {{"sections", created}, 2, ""},
        {{"help", "show"}, 0, "~Usage: kvprofile show"},
        {{"help", "shwo"}, 64, ""},
        {{"shwo", file}, 64, ""},
        {{"set", "-", "A", "1", "k", "v"}, 64, ""},
        {{"verify", "-"}, 0, "~OK: -: 0 sections"}, // empty standard input
    };
    for (const Case &c : cases) {
        std::string shown;
        for (const std::string &a : c.args) shown += " " + a;
        ToolRun run = runTool(dir, c.args);
        EXPECT_EQ(run.exit, c.exit) << shown << "\n" << run.out << run.err;
        if (c.out.rfind("~", 0) == 0)
            EXPECT_NE(run.out.find(c.out.substr(1)), std::string::npos) << shown << ": " << run.out;
        else
            EXPECT_EQ(run.out, c.out) << shown;
        if (c.exit != 0 && c.exit != 3) {
            EXPECT_NE(run.err, "") << shown;
        }
    }
    ToolRun run = runTool(dir, {"shwo", file});
    EXPECT_NE(run.err.find("'shwo' is not a command; did you mean 'show'?"), std::string::npos)
        << run.err;
    EXPECT_FALSE(fileExists(created));
}

// Standard input as FILE, and repair of a file that every update refuses.
TEST(KvprofileCommands, StandardInputAndRepair) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    std::string text = std::string(RESERVED) + section("Main", {"a = x", "b = y"}) +
                       "\n[Other 2]\nbad = x\ry\nk = v\n";
    ASSERT_TRUE(writeFile(file, text));
#ifndef _WIN32
    ToolRun run = runRedirected(dir, {"dump", "-"}, file);
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "Main 1 a = x\nMain 1 b = y\nOther 2 bad = $'x\\x0Dy'\nOther 2 k = v\n");
    run = runRedirected(dir, {"verify", "-"}, file);
    EXPECT_EQ(run.exit, 3) << run.err;
    EXPECT_EQ(run.out.rfind("UNCHECKED: -: 2 sections", 0), 0u) << run.out;
#endif
    ToolRun refused = runTool(dir, {"set", file, "Other", "2", "k", "w"});
    EXPECT_EQ(refused.exit, 2);
    EXPECT_NE(refused.err.find(file + ":11: a carriage return"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("kvprofile repair"), std::string::npos) << refused.err;
    EXPECT_EQ(readFile(file), text);

    ToolRun repaired = runTool(dir, {"repair", file});
    EXPECT_EQ(repaired.exit, 0) << repaired.err;
    EXPECT_EQ(repaired.out, "dropped key \"bad\" = \"x\\x0Dy\" of section \"Other\" version \"2\": "
                            "it holds a control character\nrepaired " +
                                file + ": 1 key dropped\n");
    EXPECT_EQ(runTool(dir, {"set", file, "Other", "2", "k", "w"}).exit, 0);
    EXPECT_EQ(runTool(dir, {"verify", file}).exit, 0) << readFile(file);
    EXPECT_EQ(runTool(dir, {"get", file, "Main", "1", "b"}).out, "y\n");
}

// Each failure names the file and, where the load refused a line, its
// number and the rule; a refused value names the rule too.
TEST(KvprofileMessages, NameTheFileTheLineAndTheRule) {
    ScratchDir dir;
    std::string file = dir.file("app.ini");
    struct Case {
        std::string text;
        std::vector<std::string> command; // after FILE
        std::string first; // after "kvprofile: app.ini" (":LINE: ..."), or a line of its own
        int status;
    } cases[] = {
        {"[Main 1]\n# a comment\n",
         {"verify"},
         ":2: '#' is not allowed in a line "
         "(refused: < > # @ ?)",
         8},
        {"\n\n[Main 1\n", {"show"}, ":3: section header without ']'", 8},
        {"[Main 1 ]\n",
         {"verify"},
         ":1: section header whose version does not end right at ']'",
         8},
        {"[S-y-S-t-E-m 1]\nOWNER = me\n",
         {"verify"},
         ":2: the section S-y-S-t-E-m holds only the keys FILENAME and NUMSECTION",
         8},
        {"[Main 1]\nk = v\n",
         {"set", "Main", "1", "k", "50% off?"},
         "value refused: it contains '?'",
         21},
        {"[Main 1]\nk = v\n",
         {"set", "Main", "1", "k", "a\x1B[2Jb"},
         "value refused: it contains the control character 0x1B",
         21},
        {"[Main 1]\nk = v\n",
         {"set", "Main", "1", "k k", "v"},
         "key name refused: it contains whitespace or '='",
         16},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(writeFile(file, c.text));
        std::vector<std::string> args = {c.command[0], file};
        args.insert(args.end(), c.command.begin() + 1, c.command.end());
        ToolRun run = runTool(dir, args);
        EXPECT_EQ(run.exit, 2) << c.first;
        // A refused line leads; another reason follows the catalogue's text.
        std::string failedLine = "kvprofile: " + file + ": failed with status " +
                                 std::to_string(c.status) + "\nError   (OXB00";
        if (c.first[0] == ':') {
            std::string firstLine = run.err.substr(0, run.err.find('\n'));
            EXPECT_EQ(firstLine, "kvprofile: " + file + c.first);
            EXPECT_NE(run.err.find("\n" + failedLine), std::string::npos) << run.err;
        } else {
            EXPECT_EQ(run.err.rfind(failedLine, 0), 0u) << run.err;
            EXPECT_EQ(lineWith(run.err, c.first), c.first) << run.err;
        }
        EXPECT_EQ(readFile(file), c.text);
    }
}

// The manual page describes every command that --help lists.
TEST(KvprofileDocs, ManualPageListsEveryCommandOfHelp) {
    ScratchDir dir;
    ToolRun run = runTool(dir, {"--help"});
    ASSERT_EQ(run.exit, 0);
    std::ifstream page(std::string(KV_TOOL_DOC_DIR) + "/kvprofile.1");
    ASSERT_TRUE(page.good());
    std::string roff((std::istreambuf_iterator<char>(page)), std::istreambuf_iterator<char>());
    std::istringstream help(run.out.substr(run.out.find("Subcommands:\n") + 13));
    std::vector<std::string> commands;
    for (std::string line; std::getline(help, line) && line.rfind("  ", 0) == 0;)
        commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    EXPECT_GE(commands.size(), 14u) << run.out;
    for (std::string command : commands) {
        // Roff writes a hyphen in a name as "\-".
        for (size_t at = command.find('-'); at != std::string::npos; at = command.find('-', at + 2))
            command.replace(at, 1, "\\-");
        EXPECT_NE(roff.find("\n.BI " + command + " \""), std::string::npos) << command;
    }
}
