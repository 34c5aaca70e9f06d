// Running kvprofile from the tests: the tool's binary beside the test
// program (under Wine for the Windows build), its output and exit code, and
// small fixture helpers shared by the kvprofile tests.
#pragma once

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

namespace kvprofile_run {
namespace fs = std::filesystem;
using nlohmann::json;

struct ToolRun {
    int exit = -1;
    std::string out; // line ends as "\n" on every platform
    std::string err;
};

inline std::string withoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

// Runs kvprofile (beside this test program) with the arguments.
inline ToolRun runTool(const ScratchDir &dir, const std::vector<std::string> &args) {
    static int runs = 0; // the output files of every run stay apart
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

inline json parsed(const ToolRun &run) {
    json value = json::parse(run.out, nullptr, false);
    EXPECT_FALSE(value.is_discarded()) << "not JSON: " << run.out;
    return value;
}

// The computed checksum of a section holding these "key=value" texts.
inline uint32_t sectionSum(const std::vector<std::string> &texts,
                           uint32_t transform = PROFILE_DEFAULT_TRANSFORM) {
    uint32_t sum = 0;
    for (const std::string &t : texts) sum += profileLineChecksum(t.c_str(), transform);
    return sum;
}

// The value of a "CSUM" line: the checksum as a signed decimal.
inline std::string csum(uint32_t sum) { return std::to_string(static_cast<int32_t>(sum)); }

inline const char RESERVED[] = "[S-y-S-t-E-m 1]\nFILENAME = f\nNUMSECTION = 2\n";

// A file with a good section Main and a section Other whose stored
// checksum (-1) does not match its key.
inline std::string mainAndDamagedOther() {
    return std::string(RESERVED) +
           "\n[Main 1.0]\na = x\nb = y\nCSUM = " + csum(sectionSum({"a=x", "b=y"})) +
           "\n\n[Other 2]\nk = v\nCSUM = -1\n";
}

inline size_t lineCount(const std::string &text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The line of the text that contains needle, or "".
inline std::string lineWith(const std::string &text, const std::string &needle) {
    size_t at = text.find(needle);
    if (at == std::string::npos) return "";
    size_t begin = text.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return text.substr(begin, text.find('\n', at) - begin);
}

} // namespace kvprofile_run
