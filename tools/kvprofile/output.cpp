#include "output.h"

#include "json.h"
#include "text.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {
// An 8-bit text from the file, ready for the table.
std::string cell(const std::string &bytes) { return escapeForTable(toUtf8(bytes)); }

std::string padRight(const std::string &text, size_t width) {
    size_t w = displayWidth(text);
    return w >= width ? text : text + std::string(width - w, ' ');
}

std::string padLeft(const std::string &text, size_t width) {
    size_t w = displayWidth(text);
    return w >= width ? text : std::string(width - w, ' ') + text;
}

void out(const std::string &text) { std::fputs(text.c_str(), stdout); }

std::string quoted(const std::string &bytes) { return "\"" + cell(bytes) + "\""; }

std::string damagedSummary(const std::vector<SectionView> &sections, size_t &damaged) {
    damaged = static_cast<size_t>(std::count_if(sections.begin(), sections.end(),
                                                [](const SectionView &s) { return s.damaged; }));
    std::string total =
        std::to_string(sections.size()) + (sections.size() == 1 ? " section" : " sections");
    if (damaged == 0) return total + ", none damaged";
    return total + ", " + std::to_string(damaged) + " damaged";
}
} // namespace

void printSections(const ToolOptions &options, const std::vector<SectionView> &sections) {
    if (options.json) {
        out(jsonSections(options.file, sections));
        return;
    }
    const char *headings[] = {"SECTION", "VERSION", "KEYS", "CHECKSUM", "STORED", "STATE"};
    std::vector<std::vector<std::string>> rows;
    size_t widths[6] = {};
    for (int c = 0; c < 6; ++c) widths[c] = displayWidth(headings[c]);
    for (const SectionView &s : sections) {
        rows.push_back({cell(s.name), cell(s.version), std::to_string(s.keyCount),
                        std::to_string(s.checksum), std::to_string(s.storedChecksum),
                        s.damaged ? "DAMAGED" : "ok"});
        for (int c = 0; c < 6; ++c) widths[c] = std::max(widths[c], displayWidth(rows.back()[c]));
    }
    auto line = [&](const std::string &mark, const std::vector<std::string> &row) {
        std::string text = mark;
        for (int c = 0; c < 6; ++c) {
            bool number = c >= 2 && c <= 4;
            text += number ? padLeft(row[c], widths[c]) : padRight(row[c], widths[c]);
            text += c < 5 ? "  " : "";
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        out(text + "\n");
    };
    size_t damaged = 0;
    std::string summary = damagedSummary(sections, damaged);
    out("Profile file " + cell(options.file) + ": " + summary + "\n");
    line("  ", std::vector<std::string>(std::begin(headings), std::end(headings)));
    for (size_t i = 0; i < sections.size(); ++i) {
        line(sections[i].damaged ? "! " : "  ", rows[i]);
        if (!options.keys) continue;
        for (const auto &[name, value] : sections[i].keys)
            out("      " + cell(name) + " = " + cell(value) + "\n");
    }
    if (damaged > 0)
        out("! marks a section whose stored checksum does not match its keys; "
            "'kvprofile rewrite FILE --checksums --refresh' stores the computed one\n");
}

void printVerdict(const ToolOptions &options, const std::vector<SectionView> &sections) {
    if (options.json) {
        out(jsonSections(options.file, sections));
        return;
    }
    size_t damaged = 0;
    std::string summary = damagedSummary(sections, damaged);
    out(std::string(damaged == 0 ? "OK" : "DAMAGED") + ": " + cell(options.file) + ": " + summary +
        "\n");
    for (const SectionView &s : sections) {
        if (!s.damaged) continue;
        out("  section " + quoted(s.name) + " version " + quoted(s.version) + ": stored checksum " +
            std::to_string(s.storedChecksum) + ", computed " + std::to_string(s.checksum) + "\n");
    }
}

void printSectionInfo(const ToolOptions &options, const ProfileSectionInfo &info) {
    if (options.json) {
        out(jsonSectionInfo(info));
        return;
    }
    out("Section   " + cell(info.name) + "\n");
    out("Version   " + cell(info.version) + "\n");
    out("Keys      " + std::to_string(info.keyCount) + "\n");
    out("Checksum  " + std::to_string(info.checksum) + "\n");
    out("Stored    " + std::to_string(info.storedChecksum) + "\n");
    out(std::string("State     ") + (info.damaged != 0 ? "DAMAGED" : "ok") + "\n");
}

void printDone(const ToolOptions &options, const std::string &what) {
    out(options.json ? jsonDone() : what + "\n");
}

void printFailure(const ToolOptions &options, const Failure &failure) {
    if (options.json) {
        out(jsonFailure(failure));
        return;
    }
    std::string text = "kvprofile: " + cell(options.file) + ": failed with status " +
                       std::to_string(failure.status) + "\n";
    for (const std::string &m : failure.messages) text += cell(m) + "\n";
    std::fputs(text.c_str(), stderr);
}
