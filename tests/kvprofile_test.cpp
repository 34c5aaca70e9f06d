// End-to-end tests of kvprofile: each runs the tool's binary (under Wine for
// the Windows build) on files in a scratch folder and checks its output,
// JSON shape, exit code and what it leaves on disk.
#include "profile/checksum.h"
#include "profile/context.h"
#include "support/fixtures.h"
#include "support/process.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {
struct ToolRun {
    int exit = -1;
    std::string out; // line ends as "\n" on every platform
    std::string err;
};

std::string withoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

// Runs kvprofile (beside this test program) with the arguments.
ToolRun runTool(const ScratchDir &dir, const std::vector<std::string> &args) {
    static int runs = 0;
    std::string tool = (fs::path(platSelfPath()).parent_path() / KV_TOOL_FILE).string();
    std::string outPath = dir.file("run" + std::to_string(runs) + ".out");
    std::string errPath = dir.file("run" + std::to_string(runs) + ".err");
    ++runs;
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    ToolRun run;
    PlatProcess child =
        platSpawnCaptured(tool.c_str(), argv.data(), outPath.c_str(), errPath.c_str());
    if (child == nullptr) {
        ADD_FAILURE() << "cannot start " << tool;
        return run;
    }
    run.exit = platWaitProcess(child);
    run.out = withoutCarriageReturns(readFile(outPath));
    run.err = withoutCarriageReturns(readFile(errPath));
    return run;
}

json parsed(const ToolRun &run) {
    json value = json::parse(run.out, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << "not JSON: " << run.out;
    return value;
}

// The computed checksum of a section holding these "key=value" texts.
uint32_t sectionSum(const std::vector<std::string> &texts,
                    uint32_t transform = PROFILE_DEFAULT_TRANSFORM) {
    uint32_t sum = 0;
    for (const std::string &t : texts) sum += profileLineChecksum(t.c_str(), transform);
    return sum;
}

// The value of a "CSUM" line: the checksum as a signed decimal.
std::string csum(uint32_t sum) { return std::to_string(static_cast<int32_t>(sum)); }

const char RESERVED[] = "[S-y-S-t-E-m 1]\nFILENAME = f\nNUMSECTION = 2\n";

// A file with a good section Main and a section Other whose stored
// checksum (-1) does not match its key.
std::string mainAndDamagedOther() {
    return std::string(RESERVED) +
           "\n[Main 1.0]\na = x\nb = y\nCSUM = " + csum(sectionSum({"a=x", "b=y"})) +
           "\n\n[Other 2]\nk = v\nCSUM = -1\n";
}

size_t lineCount(const std::string &text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The line of the text that contains needle, or "".
std::string lineWith(const std::string &text, const std::string &needle) {
    size_t at = text.find(needle);
    if (at == std::string::npos) return "";
    size_t begin = text.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return text.substr(begin, text.find('\n', at) - begin);
}

const char TAMPERED_TEXT[] = "Error   (OXB0008): Error : File is found to be tampered";
} // namespace

TEST(KvprofileShow, ListsEverySectionInListOrderWithChecksumsAndKeys) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    ASSERT_TRUE(writeFile(file, mainAndDamagedOther()));
    uint32_t mainSum = sectionSum({"a=x", "b=y"});

    ToolRun run = runTool(dir, {"show", file, "--json"});
    ASSERT_EQ(run.exit, 0) << run.err;
    json j = parsed(run);
    EXPECT_EQ(j["file"], file);
    ASSERT_EQ(j["sections"].size(), 3u);
    const json &reserved = j["sections"][0];
    const json &main = j["sections"][1];
    const json &other = j["sections"][2];
    EXPECT_EQ(reserved["name"], "S-y-S-t-E-m");
    EXPECT_EQ(reserved["version"], "1");
    EXPECT_EQ(reserved["key_count"], 0);
    EXPECT_EQ(reserved["keys"], json::array());
    EXPECT_EQ(main, json::parse(R"({"name": "Main", "version": "1.0", "key_count": 2,
        "checksum": )" + std::to_string(mainSum) +
                                R"(, "stored_checksum": )" + std::to_string(mainSum) +
                                R"(, "damaged": false,
        "keys": [{"name": "a", "value": "x"}, {"name": "b", "value": "y"}]})"));
    EXPECT_EQ(other["damaged"], true);
    EXPECT_TRUE(other["stored_checksum"].is_number_unsigned());
    EXPECT_EQ(other["stored_checksum"], 4294967295u);
    EXPECT_EQ(other["checksum"], sectionSum({"k=v"}));

    // For people: one row per section, the damaged one marked; keys on asking.
    run = runTool(dir, {"show", file});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_NE(lineWith(run.out, "S-y-S-t-E-m"), "");
    EXPECT_EQ(lineWith(run.out, "Main").find("DAMAGED"), std::string::npos) << run.out;
    std::string otherRow = lineWith(run.out, "Other");
    EXPECT_EQ(otherRow.rfind("! ", 0), 0u) << run.out;
    EXPECT_NE(otherRow.find("DAMAGED"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("a = x"), std::string::npos);
    run = runTool(dir, {"show", file, "--keys"});
    EXPECT_NE(run.out.find("a = x"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("k = v"), std::string::npos) << run.out;
}

TEST(KvprofileShow, TransformParameterReachesTheChecksums) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    ASSERT_TRUE(writeFile(file, mainAndDamagedOther()));
    // 7 mod 99 differs from the default's: the same keys sum differently,
    // so Main, checked against a sum made under the default, is damaged.
    ToolRun run = runTool(dir, {"show", file, "--json", "--transform", "7"});
    ASSERT_EQ(run.exit, 0) << run.err;
    json main = parsed(run)["sections"][1];
    EXPECT_EQ(main["checksum"], sectionSum({"a=x", "b=y"}, 7));
    EXPECT_EQ(main["damaged"], true);
}

TEST(KvprofileVerify, ExitCodeSaysCleanDamagedOrNotLoadable) {
    ScratchDir dir;
    std::string clean = dir.file("clean.ini");
    std::string damaged = dir.file("damaged.ini");
    std::string broken = dir.file("broken.ini");
    ASSERT_TRUE(writeFile(clean, std::string(RESERVED) + "\n[Main 1.0]\na = x\nCSUM = " +
                                     csum(sectionSum({"a=x"})) + "\n"));
    ASSERT_TRUE(writeFile(damaged, mainAndDamagedOther()));
    ASSERT_TRUE(writeFile(broken, std::string(RESERVED) + "\n[Main 1.0]\na = x#y\n"));

    ToolRun run = runTool(dir, {"verify", clean});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out.rfind("OK", 0), 0u) << run.out;

    run = runTool(dir, {"verify", damaged});
    EXPECT_EQ(run.exit, 1) << run.err;
    EXPECT_NE(run.out.find("section \"Other\" version \"2\""), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\"Main\""), std::string::npos) << run.out;

    run = runTool(dir, {"verify", damaged, "--json"});
    EXPECT_EQ(run.exit, 1) << run.err;
    json j = parsed(run);
    ASSERT_EQ(j["sections"].size(), 3u);
    EXPECT_EQ(j["sections"][2]["damaged"], true);
    EXPECT_EQ(j["sections"][1]["keys"].size(), 2u); // keys always present with --json

    // A file that does not load: status 8 and the collector's text.
    run = runTool(dir, {"verify", broken});
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("status 8"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(std::string(TAMPERED_TEXT) + "\n"), std::string::npos) << run.err;
    run = runTool(dir, {"verify", broken, "--json"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(parsed(run), json({{"status", 8}, {"messages", json::array({TAMPERED_TEXT})}}));

    run = runTool(dir, {"verify", dir.file("missing.ini"), "--json"});
    EXPECT_EQ(run.exit, 2);
    j = parsed(run);
    EXPECT_EQ(j["status"], 2);
    ASSERT_EQ(j["messages"].size(), 1u);
    EXPECT_NE(j["messages"][0].get<std::string>().find("Error : The given file does not exist"),
              std::string::npos);
}

TEST(KvprofileRepair, HandEditedKeyIsNamedByVerifyAndRepairedByRewrite) {
    ScratchDir dir;
    std::string file = dir.file("app.ini");
    ToolRun run = runTool(dir, {"add-section", file, "Main", "1.0", "--create", "--json"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(parsed(run), json({{"status", 0}}));
    run = runTool(dir, {"add-section", file, "Other", "2"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(readFile(file),
              "[S-y-S-t-E-m 1]\nFILENAME = " + file +
                  "\nNUMSECTION = 2\n\n[Main 1.0]\nCSUM = 0\n\n[Other 2]\nCSUM = 0\n");

    // Keys enter a file only by loading: write them by hand, then let a
    // rewrite give the sections their checksums.
    std::string text = readFile(file);
    text.replace(text.find("[Main 1.0]\n"), 11, "[Main 1.0]\nhost = alpha\nport = 80\n");
    ASSERT_TRUE(writeFile(file, text));
    ASSERT_EQ(runTool(dir, {"rewrite", file, "--checksums", "--refresh"}).exit, 0);
    EXPECT_NE(
        readFile(file).find("port = 80\nCSUM = " + csum(sectionSum({"host=alpha", "port=80"}))),
        std::string::npos)
        << readFile(file);
    EXPECT_EQ(runTool(dir, {"verify", file}).exit, 0);

    text = readFile(file);
    text.replace(text.find("port = 80"), 9, "port = 81");
    ASSERT_TRUE(writeFile(file, text));
    run = runTool(dir, {"verify", file});
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.out.find("section \"Main\""), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\"Other\""), std::string::npos) << run.out;

    // Without --refresh a rewrite keeps the damage detectable.
    ASSERT_EQ(runTool(dir, {"rewrite", file, "--checksums"}).exit, 0);
    EXPECT_EQ(runTool(dir, {"verify", file}).exit, 1);

    run = runTool(dir, {"rewrite", file, "--checksums", "--refresh", "--json"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(parsed(run), json({{"status", 0}}));
    run = runTool(dir, {"verify", file, "--json"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_EQ(parsed(run)["sections"][1]["keys"][1], json({{"name", "port"}, {"value", "81"}}));
}

TEST(KvprofileFind, GivesOneSectionsInformation) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    ASSERT_TRUE(writeFile(file, mainAndDamagedOther()));

    ToolRun run = runTool(dir, {"find", file, "Other", "2", "--json"});
    ASSERT_EQ(run.exit, 0) << run.err;
    json j = parsed(run);
    EXPECT_EQ(j, json({{"name", "Other"},
                       {"version", "2"},
                       {"checksum", sectionSum({"k=v"})},
                       {"damaged", true},
                       {"stored_checksum", 4294967295u},
                       {"key_count", 1}}));

    run = runTool(dir, {"find", file, "S-y-S-t-E-m", "1"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_NE(run.out.find("Section   S-y-S-t-E-m\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Keys      0\n"), std::string::npos) << run.out;

    run = runTool(dir, {"find", file, "Main", "9"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_NE(run.err.find("status 6"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Error : No matching section found"), std::string::npos) << run.err;
}

TEST(KvprofileAddSection, RefusedSectionLeavesTheFileAsItWas) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    // Hand-written, without checksums: any rewrite would change it.
    std::string original = std::string(RESERVED) + "[Main 1.0]\na   =   x\n";
    ASSERT_TRUE(writeFile(file, original));
    struct Case {
        const char *name;
        const char *version;
        int status;
        const char *text;
    } cases[] = {
        {"Main", "1.0", 19, "Error : Section already exists"},
        {"a b", "1", 18, "Error : Invalid Section-Name passed by the user"},
        {"New", "123456789012345678901", 20, "Error : Invalid Section-Version passed by the user"},
    };
    for (const Case &c : cases) {
        ToolRun run = runTool(dir, {"add-section", file, c.name, c.version, "--json"});
        EXPECT_EQ(run.exit, 2) << c.name;
        json j = parsed(run);
        EXPECT_EQ(j["status"], c.status) << c.name;
        EXPECT_NE(j["messages"].dump().find(c.text), std::string::npos) << j.dump();
        EXPECT_EQ(readFile(file), original) << c.name;
    }

    // Without --create the file must exist.
    std::string missing = dir.file("missing.ini");
    ToolRun run = runTool(dir, {"add-section", missing, "Main", "1"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_NE(run.err.find("status 2"), std::string::npos) << run.err;
    EXPECT_FALSE(fileExists(missing));
}

TEST(KvprofileRewrite, EncodesAndDecodesTheStoredLines) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    std::string plain = std::string(RESERVED) + "\n[Main 1.0]\nhost = alpha\n";
    ASSERT_TRUE(writeFile(file, plain));

    // Without --checksums no "CSUM" line is written.
    ASSERT_EQ(runTool(dir, {"rewrite", file}).exit, 0);
    EXPECT_EQ(readFile(file).find("CSUM"), std::string::npos);

    for (const std::vector<std::string> &transform :
         {std::vector<std::string>{}, std::vector<std::string>{"--transform", "5"}}) {
        auto with = [&](std::vector<std::string> args) {
            args.insert(args.end(), transform.begin(), transform.end());
            return args;
        };
        ToolRun run = runTool(dir, with({"rewrite", file, "--checksums", "--encode"}));
        ASSERT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(readFile(file).find("Main"), std::string::npos) << readFile(file);

        // add-section on an encoded file keeps it encoded.
        run = runTool(dir, with({"add-section", file, "Extra", "1", "--decode"}));
        ASSERT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(readFile(file).find("Extra"), std::string::npos) << readFile(file);

        run = runTool(dir, with({"show", file, "--decode", "--json"}));
        ASSERT_EQ(run.exit, 0) << run.err;
        json j = parsed(run);
        ASSERT_EQ(j["sections"].size(), 3u) << run.out;
        EXPECT_EQ(j["sections"][1]["keys"][0], json({{"name", "host"}, {"value", "alpha"}}));
        EXPECT_EQ(j["sections"][1]["damaged"], false);
        EXPECT_EQ(j["sections"][2]["name"], "Extra");

        run = runTool(dir, with({"rewrite", file, "--decode"}));
        ASSERT_EQ(run.exit, 0) << run.err;
        EXPECT_NE(readFile(file).find("\n[Main 1.0]\nhost = alpha\n\n[Extra 1]\n"),
                  std::string::npos)
            << readFile(file);
        // Back to the starting point for the next round.
        ASSERT_TRUE(writeFile(file, plain));
    }
}

TEST(KvprofileText, EightBitTextsAreWrittenAsUtf8) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    struct Case {
        std::string stored;
        std::string shown;
    } cases[] = {
        {"Caf\xC3\xA9", "Caf\xC3\xA9"},               // valid UTF-8: kept
        {"Caf\xE9", "Caf\xC3\xA9"},                   // Latin-1 byte: U+00E9
        {"\xFF\xFE", "\xC3\xBF\xC3\xBE"},             // never UTF-8
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},             // overlong form: byte by byte
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"}, // surrogate: byte by byte
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},     // four-byte form: kept
    };
    std::string content = RESERVED;
    for (size_t i = 0; i < std::size(cases); ++i)
        content +=
            "\n[S" + std::to_string(i) + cases[i].stored + " 1]\nk = " + cases[i].stored + "\n";
    ASSERT_TRUE(writeFile(file, content));

    ToolRun run = runTool(dir, {"show", file, "--json"});
    ASSERT_EQ(run.exit, 0) << run.err;
    json j = parsed(run);
    ASSERT_EQ(j["sections"].size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const json &s = j["sections"][i + 1];
        EXPECT_EQ(s["name"], "S" + std::to_string(i) + cases[i].shown) << i;
        EXPECT_EQ(s["keys"][0]["value"], cases[i].shown) << i;
    }
    run = runTool(dir, {"show", file, "--keys"});
    EXPECT_NE(run.out.find("k = Caf\xC3\xA9\n"), std::string::npos) << run.out;
}

TEST(KvprofileArguments, Utf8PathReachesTheFile) {
    ScratchDir dir;
    std::string folder = dir.file("d\xC3\xA9j\xC3\xA0");
    fs::create_directory(fs::u8path(folder));
    std::string file = folder + "/p.ini";
    ToolRun run = runTool(dir, {"add-section", file, "Main", "1", "--create"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_NE(readFile(file).find("FILENAME = " + file + "\n"), std::string::npos);
    run = runTool(dir, {"show", file, "--json"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(parsed(run)["file"], file);
}

TEST(KvprofileArguments, UsageErrorsExit64WithOneLine) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    ASSERT_TRUE(writeFile(file, mainAndDamagedOther()));
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate", file},
        {"show"},
        {"show", file, "extra"},
        {"show", file, "--bogus"},
        {"find", file, "Main"},
        {"add-section", file, "Main"},
        {"verify", file, "--keys"},
        {"rewrite", file, "--create"},
        {"show", file, "--transform"},
        {"show", file, "--transform", "abc"},
        {"show", file, "--transform", "-1"},
        {"show", file, "--transform", "4294967296"},
        {"show", file, "--transform", "0x10"},
    };
    for (const std::vector<std::string> &args : cases) {
        std::string shown;
        for (const std::string &a : args) shown += " " + a;
        ToolRun run = runTool(dir, args);
        EXPECT_EQ(run.exit, 64) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_EQ(lineCount(run.err), 1u) << shown << ": " << run.err;
        EXPECT_EQ(run.err.rfind("kvprofile: ", 0), 0u) << shown << ": " << run.err;
    }

    ToolRun run = runTool(dir, {"--help"});
    EXPECT_EQ(run.exit, 0);
    for (const char *command : {"show", "verify", "find", "add-section", "rewrite"})
        EXPECT_NE(run.out.find(command), std::string::npos) << command;
    run = runTool(dir, {"show", "--help"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_NE(run.out.find("--keys"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("--transform"), std::string::npos) << run.out;
    run = runTool(dir, {"show", file, "--transform", "4294967295"});
    EXPECT_EQ(run.exit, 0) << run.err;
}
