#include "support/fixtures.h"

#include "platform/mutex.h"
#include "support/process.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    std::string self = fs::path(platSelfPath()).stem().string();
    fs::path base = fs::temp_directory_path() / "kvinit64-tests";
    fs::create_directories(base);
    for (;;) {
        fs::path candidate =
            base / (self + "-" + std::to_string(platProcessId()) + "-" + std::to_string(counter++));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.generic_string();
            return;
        }
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(fs::u8path(path_), ec);
}

std::string readFile(const std::string &path) {
    std::ifstream in(fs::u8path(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(fs::u8path(path), std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

bool fileExists(const std::string &path) {
    std::error_code ec;
    return fs::exists(fs::u8path(path), ec);
}

std::string sharedLibraryPath() {
    return (fs::path(platSelfPath()).parent_path() / KV_SHARED_LIBRARY).string();
}

std::string listFolder(const std::string &path) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(fs::u8path(path)))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string joined;
    for (const auto &n : names) joined += (joined.empty() ? "" : " ") + n;
    return joined;
}
