#include "output.h"

#include "json.h"
#include "text.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {
// An 8-bit text from the file or the command line, ready to be printed.
std::string cell(const std::string &bytes) { return forPeople(bytes); }

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

// "3 sections, 1 damaged"; with partial, "3 sections read, ...".
std::string damagedSummary(const std::vector<SectionView> &sections, bool partial,
                           size_t &damaged) {
    damaged = static_cast<size_t>(std::count_if(sections.begin(), sections.end(),
                                                [](const SectionView &s) { return s.damaged; }));
    std::string total =
        std::to_string(sections.size()) + (sections.size() == 1 ? " section" : " sections");
    if (partial) total += " read";
    if (damaged == 0) return total + ", none damaged";
    return total + ", " + std::to_string(damaged) + " damaged";
}

std::string endedEarly(uint32_t line) {
    return "the load ended early at line " + std::to_string(line) +
           ", which could not be decoded: the sections after it are missing "
           "(wrong --decode or --transform, or a damaged line)";
}
} // namespace

void printSections(const ToolOptions &options, uint32_t endedAtLine,
                   const std::vector<SectionView> &sections) {
    if (options.json) {
        out(jsonSections(options.file, endedAtLine, sections));
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
    std::string summary = damagedSummary(sections, endedAtLine != 0, damaged);
    if (endedAtLine != 0) summary = "INCOMPLETE, " + summary;
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
    if (endedAtLine != 0) out("! " + endedEarly(endedAtLine) + "\n");
}

void printVerdict(const ToolOptions &options, uint32_t endedAtLine,
                  const std::vector<SectionView> &sections) {
    if (options.json) {
        out(jsonSections(options.file, endedAtLine, sections));
        return;
    }
    size_t damaged = 0;
    std::string summary = damagedSummary(sections, endedAtLine != 0, damaged);
    std::string verdict = endedAtLine != 0 ? "INCOMPLETE" : damaged == 0 ? "OK" : "DAMAGED";
    out(verdict + ": " + cell(options.file) + ": " + summary + "\n");
    if (endedAtLine != 0) out("  " + endedEarly(endedAtLine) + "\n");
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

void printValue(const ToolOptions &options, const ProfileSectionInfo &info,
                const std::string &value) {
    if (options.json) {
        out(jsonKey(info, options.key, value));
        return;
    }
    out(cell(value) + "\n");
    if (info.damaged != 0)
        printToolError("warning: section " + quoted(info.name) + " version " +
                       quoted(info.version) +
                       " is damaged: its stored checksum does not match its keys");
}

void printDone(const ToolOptions &options, const std::string &what) {
    out(options.json ? jsonDone() : cell(what) + "\n");
}

void printMissing(const ToolOptions &options, const Failure &failure, const std::string &what) {
    if (options.json) {
        out(jsonFailure(failure));
        return;
    }
    printToolError(cell(options.file) + ": " + what);
}

void printVersion(const char *toolVersion, const char *libraryVersion) {
    out("kvprofile " + cell(toolVersion) + "\nkvinit64 library " + cell(libraryVersion) + "\n");
}

void printToolError(const std::string &text) {
    std::fputs(("kvprofile: " + cell(text) + "\n").c_str(), stderr);
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
