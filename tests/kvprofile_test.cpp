// End-to-end tests of kvprofile: each runs the tool's binary (under Wine for
// the Windows build) on files in a scratch folder and checks its output,
// JSON shape, exit code and what it leaves on disk.
#include "kvprofile_run.h"
#include "support/fixtures.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

using namespace kvprofile_run;

namespace {
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
                                R"(, "damaged": false, "state": "ok", "keys_after_checksum": 0,
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

// The table pads each column to its widest cell counted in characters
// (a two-byte "é" is one, an escaped control four), numbers to the right.
TEST(KvprofileShow, TableColumnsAlignByCharacters) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    ASSERT_TRUE(writeFile(
        file, std::string(RESERVED) + "\n[Caf\xC3\xA9 1.0]\na = x\nb = y\nCSUM = " +
                  csum(sectionSum({"a=x", "b=y"})) + "\n\n[Other\x01 22]\nk = v\nCSUM = -1\n"));
    ToolRun run = runTool(dir, {"show", file, "--keys"});
    ASSERT_EQ(run.exit, 0) << run.err;
    std::string sum = std::to_string(sectionSum({"a=x", "b=y"}));
    std::string other = std::to_string(sectionSum({"k=v"}));
    ASSERT_EQ(sum.size(), 6u);
    ASSERT_EQ(other.size(), 6u);
    EXPECT_EQ(run.out, "Profile file " + file +
                           ": 2 sections: 1 damaged\n"
                           "  SECTION      VERSION  KEYS  CHECKSUM      STORED  STATE\n"
                           "  S-y-S-t-E-m  1           0         0           0  reserved\n"
                           "  Caf\xC3\xA9         1.0         2    " +
                           sum + "      " + sum +
                           "  ok\n"
                           "      a = x\n"
                           "      b = y\n"
                           "! Other\\x01    22          1    " +
                           other +
                           "  4294967295  DAMAGED\n"
                           "      k = v\n"
                           "! DAMAGED: a stored checksum does not match its keys; "
                           "'kvprofile rewrite FILE --refresh' stores the computed one\n");
}

// A file of few sections and one of very many (whose rows the tool does not
// keep between its walks): without keys, show prints the same rows with
// and without --keys, which always takes every section's row as it walks.
TEST(KvprofileShow, RowsAreTheSameForFewSectionsAndVeryMany) {
    ScratchDir dir;
    for (int sections : {3, 100000}) {
        std::string file = dir.file("p" + std::to_string(sections) + ".ini");
        std::string text = RESERVED;
        for (int i = 0; i < sections; ++i)
            text += "[S" + std::to_string(i) + (i % 1000 == 1 ? "\xE9\x01" : "") + " 1]\n";
        text += "[Last 2]\nk = v\nCSUM = 1\n";
        ASSERT_TRUE(writeFile(file, text));
        ToolRun plain = runTool(dir, {"show", file});
        ToolRun keys = runTool(dir, {"show", file, "--keys"});
        ASSERT_EQ(plain.exit, 0) << plain.err;
        EXPECT_EQ(lineCount(plain.out), static_cast<size_t>(sections) + 5) << sections;
        std::string keyLine = "      k = v\n";
        size_t at = keys.out.find(keyLine);
        ASSERT_NE(at, std::string::npos) << sections;
        EXPECT_TRUE(plain.out == keys.out.substr(0, at) + keys.out.substr(at + keyLine.size()))
            << sections;
        EXPECT_NE(plain.out.find("S1\xC3\xA9\\x01 "), std::string::npos) << sections;
    }
}

// show and verify write their JSON a section at a time: it must be laid out
// exactly as the JSON library's own dump with an indent of 2, over many
// sections (several large writes), for every kind of text that the dump
// escapes (C1 and bidirectional controls, escaped beyond the dump, are
// checked by ControlCharactersAreShownAsEscapes).
TEST(KvprofileShow, JsonIsLaidOutAsTheJsonLibraryDumpsIt) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    // A Latin-1 text and a UTF-8 one apart: a text that mixes them is not
    // UTF-8, and its bytes 0x80 to 0x9F would become C1 controls.
    const std::string values[] = {"plain",
                                  "say \"hi\"",
                                  "back\\slash",
                                  "c0 \x01\x1F\x08 end",
                                  "Caf\xE9 \xE0 \xFF",
                                  "Caf\xC3\xA9 \xF0\x9F\x98\x80"};
    std::string text = RESERVED;
    text += "\n[Empty 1]\n";
    for (int i = 0; i < 400; ++i) {
        text += "\n[S" + std::to_string(i) + (i % 7 == 0 ? "\xE9" : "") + " 1]\n";
        for (size_t k = 0; k < std::size(values); ++k)
            text += "k" + std::to_string(k) + " = " + values[(i + k) % std::size(values)] + " " +
                    std::string(40, 'v') + "\n";
    }
    ASSERT_TRUE(writeFile(file, text));
    for (const char *command : {"show", "verify"}) {
        ToolRun run = runTool(dir, {command, file, "--json"});
        // No section has a checksum: verify says so with its exit code.
        ASSERT_EQ(run.exit, std::string(command) == "show" ? 0 : 3) << command << ": " << run.err;
        ASSERT_GT(run.out.size(), 200000u);
        nlohmann::ordered_json j = nlohmann::ordered_json::parse(run.out, nullptr, false);
        ASSERT_FALSE(j.is_discarded()) << command;
        EXPECT_EQ(j["sections"].size(), 402u) << command;
        EXPECT_EQ(j["sections"][1]["keys"], json::array()) << command;
        EXPECT_EQ(j["sections"][2]["keys"][3]["value"],
                  "c0 \x01\x1F\x08 end " + std::string(40, 'v'))
            << command;
        EXPECT_EQ(run.out, j.dump(2) + "\n") << command;
    }
    // No section at all: the empty list as the dump writes it.
    ASSERT_TRUE(writeFile(file, ""));
    ToolRun run = runTool(dir, {"verify", file, "--json"});
    EXPECT_EQ(run.out, "{\n  \"file\": " + json(file).dump() +
                           ",\n  \"state\": \"OK\",\n  \"load_ended_at_line\": null,\n  "
                           "\"sections\": []\n}\n");
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
    EXPECT_EQ(parsed(run), json({{"status", 8},
                                 {"messages", json::array({TAMPERED_TEXT})},
                                 {"detail", "'#' is not allowed in a line (refused: < > # @ ?)"},
                                 {"line", 6}}));

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

        run = runTool(dir, with({"rewrite", file, "--decode", "--no-checksums"}));
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
        {"get", file, "Main", "1.0"},
        {"set", file, "Main", "1.0", "k"},
        {"remove-key", file, "Main", "1.0", "k", "--create"},
        {"get", file, "Main", "1.0", "k", "--refresh"},
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
    for (const char *command :
         {"show", "verify", "find", "add-section", "rewrite", "get", "set", "remove-key"})
        EXPECT_NE(run.out.find(command), std::string::npos) << command;
    run = runTool(dir, {"show", "--help"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_NE(run.out.find("--keys"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("--transform"), std::string::npos) << run.out;
    run = runTool(dir, {"show", file, "--transform", "4294967295"});
    EXPECT_EQ(run.exit, 0) << run.err;
}

TEST(KvprofileKeys, SetGetAndRemoveAKey) {
    ScratchDir dir;
    std::string file = dir.file("app.ini");
    ASSERT_EQ(runTool(dir, {"add-section", file, "Main", "1.0", "--create"}).exit, 0);

    struct Step {
        std::vector<std::string> args;
        int exit;
        std::string out; // "*": anything
    } steps[] = {
        {{"set", file, "Main", "1.0", "host", "alpha"}, 0, "*"},
        {{"set", file, "Main", "1.0", "port", "80"}, 0, "*"},
        {{"set", file, "Main", "1.0", "port", "8080 or 8081"}, 0, "*"},
        {{"get", file, "Main", "1.0", "port"}, 0, "8080 or 8081\n"},
        {{"get", file, "Main", "1.0", "user"}, 1, ""},
        {{"get", file, "Other", "2", "host"}, 1, ""},
        {{"set", file, "Other", "2", "host", "beta", "--create", "--json"}, 0, "*"},
        {{"get", file, "Other", "2", "host", "--json"}, 0, "*"},
        {{"remove-key", file, "Main", "1.0", "host"}, 0, "*"},
        {{"remove-key", file, "Main", "1.0", "host"}, 1, ""},
        {{"get", file, "Main", "1.0", "host"}, 1, ""},
    };
    for (const Step &step : steps) {
        std::string shown;
        for (size_t i = 0; i < step.args.size(); ++i)
            shown += (i == 1 ? " FILE" : " " + step.args[i]);
        ToolRun run = runTool(dir, step.args);
        EXPECT_EQ(run.exit, step.exit) << shown << ": " << run.err;
        if (step.out != "*") {
            EXPECT_EQ(run.out, step.out) << shown;
        }
        // A missing section or key: nothing on standard output, one line on
        // standard error.
        if (step.exit == 1) {
            EXPECT_EQ(lineCount(run.err), 1u) << shown << ": " << run.err;
        }
    }
    EXPECT_EQ(parsed(runTool(dir, {"get", file, "Other", "2", "host", "--json"})),
              json({{"name", "Other"},
                    {"version", "2"},
                    {"key", "host"},
                    {"value", "beta"},
                    {"damaged", false}}));
    EXPECT_EQ(readFile(file),
              "[S-y-S-t-E-m 1]\nFILENAME = " + file +
                  "\nNUMSECTION = 2\n\n[Main 1.0]\nport = 8080 or 8081\nCSUM = " +
                  csum(sectionSum({"port=8080 or 8081"})) +
                  "\n\n[Other 2]\nhost = beta\nCSUM = " + csum(sectionSum({"host=beta"})) + "\n");
    EXPECT_EQ(runTool(dir, {"verify", file}).exit, 0);
}

TEST(KvprofileKeys, RefusedChangesLeaveTheFileByteForByte) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    // Hand-written, without checksums on Main: any rewrite would change it.
    std::string original = mainAndDamagedOther() + "\n[Main 1.0]\na   =   x\n";
    ASSERT_TRUE(writeFile(file, original));
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"set", file, "Main", "1.0", "a b", "x"}, 16},
        {{"set", file, "Main", "1.0", "CSUM", "1"}, 16},
        {{"set", file, "Main", "1.0", "k", "x#y"}, 21},
        {{"set", file, "Main", "1.0", "k", "[x]"}, 21},
        {{"set", file, "Main", "1.0", "k", "two\nlines"}, 21},
        {{"set", file, "Main", "1.0", "k", ""}, 21},
        {{"set", file, "Main", "1.0", "k", std::string(4501, 'v')}, 21},
        {{"set", file, "Other", "2", "k", "v"}, 8},
        {{"remove-key", file, "Other", "2", "k"}, 8},
        {{"set", file, "New", "1", "k", "v"}, 6},
        {{"set", file, "New", "", "k", "v", "--create"}, 20},
        {{"set", file, "S-y-S-t-E-m", "1", "k", "v"}, 18},
        {{"set", file, "a=b", "1", "k", "v", "--create"}, 18},
    };
    for (Case &c : cases) {
        std::string shown = c.args[0] + " " + c.args[2] + " " + c.args[4].substr(0, 9);
        c.args.push_back("--json");
        ToolRun run = runTool(dir, c.args);
        EXPECT_EQ(run.exit, 2) << shown << ": " << run.out;
        EXPECT_EQ(parsed(run)["status"], c.status) << shown << ": " << run.out;
        EXPECT_EQ(readFile(file), original) << shown;
    }
    // Without --json: the status and the component's text on standard error.
    ToolRun run = runTool(dir, {"set", file, "Other", "2", "k", "v"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("status 8"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--refresh"), std::string::npos) << run.err;
}

TEST(KvprofileKeys, ChangingADamagedSectionRefreshesThatSectionOnly) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    ASSERT_TRUE(writeFile(file, mainAndDamagedOther() + "\n[Third 3]\nt = 1\nCSUM = 5\n"));

    ToolRun run = runTool(dir, {"set", file, "Other", "2", "k", "w", "--refresh"});
    ASSERT_EQ(run.exit, 0) << run.err;
    run = runTool(dir, {"verify", file});
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.out.find("section \"Third\" version \"3\": DAMAGED: stored checksum 5"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("\"Other\""), std::string::npos) << run.out;
    EXPECT_NE(readFile(file).find("[Other 2]\nk = w\nCSUM = " + csum(sectionSum({"k=w"}))),
              std::string::npos)
        << readFile(file);

    // A sound section changes without --refresh; the damaged one stays so.
    ASSERT_EQ(runTool(dir, {"remove-key", file, "Main", "1.0", "a"}).exit, 0);
    json j = parsed(runTool(dir, {"verify", file, "--json"}));
    EXPECT_EQ(j["sections"][1]["keys"], json::array({{{"name", "b"}, {"value", "y"}}}));
    EXPECT_EQ(j["sections"][1]["damaged"], false);
    EXPECT_EQ(j["sections"][3]["damaged"], true);
    EXPECT_EQ(j["sections"][3]["stored_checksum"], 5);
}

TEST(KvprofileKeys, EncodedFileStaysEncoded) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    ASSERT_TRUE(writeFile(file, std::string(RESERVED) + "\n[Main 1.0]\nhost = alpha\n"));
    ASSERT_EQ(runTool(dir, {"rewrite", file, "--checksums", "--encode", "--transform", "5"}).exit,
              0);
    ToolRun run =
        runTool(dir, {"set", file, "Main", "1.0", "port", "80", "--decode", "--transform", "5"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(readFile(file).find("port"), std::string::npos) << readFile(file);
    run = runTool(dir, {"get", file, "Main", "1.0", "port", "--decode", "--transform", "5"});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "80\n");
}

// An encoded file with one changed byte in the header line of its second
// section: a read-only load ends there.
TEST(KvprofileVerify, LoadThatEndedEarlyIsNeverCalledClean) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    ASSERT_TRUE(writeFile(file, std::string(RESERVED) +
                                    "\n[Main 1.0]\nhost = alpha\n\n[Extra 1]\nk = v\n"));
    ASSERT_EQ(runTool(dir, {"rewrite", file, "--checksums", "--encode"}).exit, 0);
    std::string text = readFile(file);
    // Lines: reserved header, FILENAME, NUMSECTION, "", [Main 1.0], host,
    // CSUM, "", [Extra 1]: the ninth.
    size_t at = 0;
    for (int line = 1; line < 9; ++line) at = text.find('\n', at) + 1;
    // The first byte after its check characters changed: ASCII text is
    // stored in bytes from 0x80 up, so it stays one stored line.
    size_t flip = at + 5;
    ASSERT_GE(static_cast<unsigned char>(text[flip]), 0x80u);
    text[flip] = static_cast<char>(text[flip] ^ 0x01);
    ASSERT_TRUE(writeFile(file, text));

    ToolRun run = runTool(dir, {"verify", file, "--decode"});
    EXPECT_EQ(run.exit, 2) << run.out;
    EXPECT_EQ(run.out.rfind("INCOMPLETE", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("line 9"), std::string::npos) << run.out;
    run = runTool(dir, {"verify", file, "--decode", "--json"});
    EXPECT_EQ(run.exit, 2);
    json j = parsed(run);
    EXPECT_EQ(j["load_ended_at_line"], 9);
    EXPECT_EQ(j["sections"].size(), 2u);
    run = runTool(dir, {"show", file, "--decode"});
    EXPECT_EQ(run.exit, 0);
    EXPECT_NE(run.out.find("INCOMPLETE"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("line 9"), std::string::npos) << run.out;
    // A key that may be in the part not read is not reported missing.
    run = runTool(dir, {"get", file, "Extra", "1", "k", "--decode"});
    EXPECT_EQ(run.exit, 2);
    EXPECT_NE(run.err.find("line 9"), std::string::npos) << run.err;
    // The whole file loads: the verdict says nothing of an early end.
    j = parsed(runTool(dir, {"verify", file, "--json"}));
    EXPECT_TRUE(j["load_ended_at_line"].is_null()) << j.dump();
}

TEST(KvprofileAddSection, RefusedCreateLeavesAnExistingFileAsItWas) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    std::string original = mainAndDamagedOther();
    ASSERT_TRUE(writeFile(file, original));
    for (const char *name : {"a b", "a=b", ""}) {
        ToolRun run = runTool(dir, {"add-section", file, name, "1", "--create"});
        EXPECT_EQ(run.exit, 2) << name;
        EXPECT_NE(run.err.find("status 18"), std::string::npos) << run.err;
        EXPECT_EQ(readFile(file), original) << name;
    }
    ToolRun run = runTool(dir, {"add-section", file, "Main", "1234567890123456789012", "--create"});
    EXPECT_NE(run.err.find("status 20"), std::string::npos) << run.err;
    EXPECT_EQ(readFile(file), original);
}

TEST(KvprofileText, ControlCharactersAreShownAsEscapes) {
    ScratchDir dir;
    std::string file = dir.file("p.ini");
    // ESC, the 8-bit CSI (C1), DEL, and U+202E (right-to-left override).
    ASSERT_TRUE(writeFile(file, std::string(RESERVED) + "\n[Main\x1B"
                                                        "c 1]\nk = \x9B"
                                                        "2J\x7F\n"
                                                        "u = a\xE2\x80\xAE"
                                                        "b\xE2\x81\xA6\n"));
    auto noRawControls = [](const std::string &text) {
        for (const char *raw : {"\x1B", "\x9B", "\x7F", "\xC2\x9B", "\xE2\x80\xAE", "\xE2\x81\xA6"})
            if (text.find(raw) != std::string::npos) return false;
        return true;
    };
    ToolRun run = runTool(dir, {"show", file, "--keys"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_TRUE(noRawControls(run.out)) << run.out;
    EXPECT_NE(run.out.find("Main\\x1Bc"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("k = \\u009B2J\\x7F\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("u = a\\u202Eb\\u2066\n"), std::string::npos) << run.out;

    run = runTool(dir, {"get", file,
                        "Main\x1B"
                        "c",
                        "1", "u"});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "a\\u202Eb\\u2066\n");

    // JSON escapes the same characters and still gives the texts.
    run = runTool(dir, {"show", file, "--json"});
    EXPECT_TRUE(noRawControls(run.out)) << run.out;
    EXPECT_NE(run.out.find("\\u202E"), std::string::npos) << run.out;
    json j = parsed(run);
    EXPECT_EQ(j["sections"][1]["name"], "Main\x1B"
                                        "c");
    EXPECT_EQ(j["sections"][1]["keys"][0]["value"], "\xC2\x9B"
                                                    "2J\x7F");
    EXPECT_EQ(j["sections"][1]["keys"][1]["value"], "a\xE2\x80\xAE"
                                                    "b\xE2\x81\xA6");

    // A file name reaches people escaped, in failures and in successes.
    std::string odd = dir.file("x\x1B]0;owned\x07.ini");
    run = runTool(dir, {"verify", odd});
    EXPECT_EQ(run.exit, 2);
    EXPECT_TRUE(noRawControls(run.err) && run.err.find('\x07') == std::string::npos) << run.err;
    EXPECT_NE(run.err.find("x\\x1B]0;owned\\x07.ini"), std::string::npos) << run.err;
#ifndef _WIN32 // Windows file names hold no control characters
    run = runTool(dir, {"add-section", odd, "Main", "1", "--create", "--verbose"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_NE(run.out.find("x\\x1B]0;owned\\x07.ini"), std::string::npos) << run.out;
    EXPECT_TRUE(noRawControls(run.out) && run.out.find('\x07') == std::string::npos) << run.out;
#endif
}

TEST(KvprofileArguments, VersionNamesTheToolAndTheLibrary) {
    ScratchDir dir;
    ToolRun run = runTool(dir, {"--version"});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.out, "kvprofile 9.5.0.0221\nkvinit64 library 9.5.0.0221\n");
}
