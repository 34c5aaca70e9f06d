#include "output.h"

#include "json.h"
#include "text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {
// An 8-bit text from the file or the command line, ready to be printed.
std::string cell(const std::string &bytes) { return forPeople(bytes); }

std::string quoted(const std::string &bytes) { return "\"" + cell(bytes) + "\""; }

std::string endedEarly(uint32_t line) {
    return "the load ended early at line " + std::to_string(line) +
           ", which could not be decoded: the sections after it are missing "
           "(wrong --decode or --transform, or a damaged line)";
}

constexpr int COLUMNS = 6; // of show's table
constexpr std::string_view HEADINGS[COLUMNS] = {"SECTION",  "VERSION", "KEYS",
                                                "CHECKSUM", "STORED",  "STATE"};

// What the first walk over the sections finds.
struct SectionCounts {
    StateCounts states;
    size_t widths[COLUMNS] = {}; // the widest cell of each column, headings included
};

// The first walk: counts the sections by state; with widths, the table's
// column widths; with keys, walks every key list too, so that any walk
// that can fail has failed before anything is printed.
bool countSections(ProfileSession &session, bool widths, bool keys, SectionCounts &counts,
                   Failure &failure) {
    if (widths)
        for (int c = 0; c < COLUMNS; ++c) counts.widths[c] = displayWidth(HEADINGS[c]);
    std::string nameScratch, versionScratch; // room kept from section to section (speed)
    return session.eachSection(
        [&](const SectionView &s) -> uint32_t {
            SectionState state = sectionState(s);
            counts.states.add(state);
            if (widths) {
                std::string_view name = viewForPeople(s.name, nameScratch);
                std::string_view version = viewForPeople(s.version, versionScratch);
                size_t cells[COLUMNS] = {displayWidth(name),
                                         displayWidth(version),
                                         decimalWidth(s.keyCount),
                                         decimalWidth(s.checksum),
                                         decimalWidth(s.storedChecksum),
                                         stateWord(state).size()};
                for (int c = 0; c < COLUMNS; ++c)
                    counts.widths[c] = std::max(counts.widths[c], cells[c]);
            }
            return keys ? session.eachKey(s, [](const char *, const char *) {}) : 0u;
        },
        failure, widths);
}

// A cell of show's table: its text for people and that text's display width.
struct Cell {
    std::string_view text;
    size_t width = 0;
};

// The cell of a number, its digits made in digits.
Cell numberCell(uint32_t value, char (&digits)[16]) {
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    auto length = static_cast<size_t>(result.ptr - digits);
    return {std::string_view(digits, length), length};
}

// One row of show's table: the cells padded to the widths, numbers to the
// right, two blanks apart, no blanks at the end.  Written in place in the
// printer's text, a row per section (speed).
void appendRow(std::string &text, std::string_view mark, const Cell (&cells)[COLUMNS],
               const size_t (&widths)[COLUMNS]) {
    size_t start = text.size();
    size_t most = mark.size() + 2 * (COLUMNS - 1) + 1;
    size_t padding[COLUMNS];
    for (int c = 0; c < COLUMNS; ++c) {
        padding[c] = cells[c].width >= widths[c] ? 0 : widths[c] - cells[c].width;
        most += padding[c] + cells[c].text.size();
    }
    text.resize(start + most);
    char *const begin = text.data() + start;
    char *p = begin;
    auto put = [&p](std::string_view piece) {
        std::memcpy(p, piece.data(), piece.size());
        p += piece.size();
    };
    put(mark);
    for (int c = 0; c < COLUMNS; ++c) {
        bool number = c >= 2 && c <= 4;
        if (number) p = std::fill_n(p, padding[c], ' ');
        put(cells[c].text);
        if (!number) p = std::fill_n(p, padding[c], ' ');
        if (c < COLUMNS - 1) put("  ");
    }
    while (p > begin && p[-1] == ' ') --p;
    *p++ = '\n';
    text.resize(static_cast<size_t>(p - text.data()));
}

// A section's row; name and version already for people.  "!" marks a
// section that is not ok.
void appendSectionRow(std::string &text, const SectionView &s, SectionState state,
                      std::string_view name, std::string_view version,
                      const size_t (&widths)[COLUMNS]) {
    char keyDigits[16], checksumDigits[16], storedDigits[16];
    std::string_view word = stateWord(state);
    const Cell cells[COLUMNS] = {{name, displayWidth(name)},
                                 {version, displayWidth(version)},
                                 numberCell(s.keyCount, keyDigits),
                                 numberCell(s.checksum, checksumDigits),
                                 numberCell(s.storedChecksum, storedDigits),
                                 {word, word.size()}};
    bool marked = state != SectionState::Ok && state != SectionState::Reserved;
    appendRow(text, marked ? "! " : "  ", cells, widths);
}

// show and verify with --json: every section with its keys, written as it
// is walked.
bool printJson(const ToolOptions &options, ProfileSession &session, FileVerdict verdict,
               Printer &out, Failure &failure) {
    std::string &text = out.text();
    appendJsonSectionsHead(text, options.file, verdictWord(verdict),
                           session.file()->loadEndedAtLine);
    bool firstSection = true;
    bool ok = session.eachSection(
        [&](const SectionView &s) -> uint32_t {
            appendJsonSection(text, s, stateWord(sectionState(s)), firstSection);
            firstSection = false;
            bool firstKey = true;
            uint32_t status = session.eachKey(s, [&](const char *name, const char *value) {
                appendJsonKey(text, name, value, firstKey);
                firstKey = false;
                out.lineDone();
            });
            appendJsonSectionEnd(text, !firstKey);
            out.lineDone();
            return status;
        },
        failure);
    appendJsonSectionsEnd(text, !firstSection);
    out.lineDone();
    return ok;
}

// What the verdict means, for the line after the table or the headline.
std::string verdictNote(FileVerdict verdict, const ProfileFile &file, size_t decodedSections) {
    switch (verdict) {
    case FileVerdict::Incomplete:
        return endedEarly(file.loadEndedAtLine);
    case FileVerdict::NothingRecognised: {
        std::string note = "no section in " + std::to_string(file.linesRead) +
                           (file.linesRead == 1 ? " line" : " lines") +
                           ": this does not look like a profile file";
        if (decodedSections != 0)
            note += "; read with --decode it holds " + std::to_string(decodedSections) +
                    (decodedSections == 1 ? " section" : " sections") + ": try --decode";
        return note;
    }
    case FileVerdict::Damaged:
        return "DAMAGED: a stored checksum does not match its keys; "
               "'kvprofile rewrite FILE --refresh' stores the computed one";
    case FileVerdict::Uncovered:
    case FileVerdict::Unchecked:
        return "UNCHECKED and UNCOVERED sections are not protected by a checksum: an edit "
               "goes unnoticed; 'kvprofile rewrite FILE --checksums' protects them";
    default:
        return "";
    }
}

size_t decodedSectionsFor(const ToolOptions &options, const ProfileSession &session,
                          FileVerdict verdict) {
    if (verdict != FileVerdict::NothingRecognised || options.decode) return 0;
    return session.sectionsWhenDecoded(options);
}
} // namespace

bool printSections(const ToolOptions &options, ProfileSession &session, Printer &out,
                   Failure &failure) {
    out.reserve();
    bool withKeys = options.keys || options.json;
    SectionCounts counts;
    if (!countSections(session, !options.json, withKeys, counts, failure)) return false;
    const ProfileFile &file = *session.file();
    FileVerdict verdict = fileVerdict(counts.states, file, false);
    if (options.json) return printJson(options, session, verdict, out, failure);

    std::string summary = stateSummary(counts.states, file.loadEndedAtLine != 0);
    if (verdict == FileVerdict::Incomplete || verdict == FileVerdict::NothingRecognised)
        summary = std::string(verdictWord(verdict)) + ", " + summary;
    out.print("Profile file " + cell(options.file) + ": " + summary + "\n");
    Cell headings[COLUMNS];
    for (int c = 0; c < COLUMNS; ++c) headings[c] = {HEADINGS[c], displayWidth(HEADINGS[c])};
    appendRow(out.text(), "  ", headings, counts.widths);
    // The texts that need a change for people are made in these, whose
    // room is kept from row to row (speed).
    std::string name, version;
    std::string &text = out.text();
    bool ok = session.eachSection(
        [&](const SectionView &s) -> uint32_t {
            appendSectionRow(text, s, sectionState(s), viewForPeople(s.name, name),
                             viewForPeople(s.version, version), counts.widths);
            uint32_t status = 0;
            if (options.keys)
                status = session.eachKey(s, [&](const char *key, const char *value) {
                    text += "      ";
                    appendForPeople(text, key);
                    text += " = ";
                    appendForPeople(text, value);
                    text += '\n';
                    out.lineDone();
                });
            // A failed write ends the walk: the rest would go nowhere.
            return out.lineDone() ? status : PROFILE_STATUS_CANNOT_OPEN;
        },
        failure);
    if (!ok) return out.failed(); // the caller reports the failed write
    if (verdict != FileVerdict::Ok)
        out.print("! " + verdictNote(verdict, file, decodedSectionsFor(options, session, verdict)) +
                  "\n");
    return true;
}

bool printVerdict(const ToolOptions &options, ProfileSession &session, Printer &out,
                  FileVerdict &verdict, Failure &failure) {
    out.reserve();
    SectionCounts counts;
    if (!countSections(session, false, options.json, counts, failure)) return false;
    const ProfileFile &file = *session.file();
    verdict = fileVerdict(counts.states, file, options.allowUnchecked);
    if (options.json) return printJson(options, session, verdict, out, failure);

    std::string summary = stateSummary(counts.states, file.loadEndedAtLine != 0);
    out.print(std::string(verdictWord(verdict)) + ": " + cell(options.file) + ": " + summary +
              "\n");
    if (verdict == FileVerdict::Incomplete || verdict == FileVerdict::NothingRecognised)
        out.print("  " + verdictNote(verdict, file, decodedSectionsFor(options, session, verdict)) +
                  "\n");
    if (counts.states.damaged + counts.states.unchecked + counts.states.uncovered == 0) return true;
    std::string &text = out.text();
    return session.eachSection(
               [&](const SectionView &s) -> uint32_t {
                   SectionState state = sectionState(s);
                   if (state == SectionState::Ok || state == SectionState::Reserved) return 0;
                   text += "  section \"";
                   appendForPeople(text, s.name);
                   text += "\" version \"";
                   appendForPeople(text, s.version);
                   text += "\": ";
                   text += stateWord(state);
                   if (state == SectionState::Unchecked && options.allowUnchecked)
                       text += " (allowed)";
                   text += ": ";
                   text += stateReason(s, state);
                   text += '\n';
                   return out.lineDone() ? 0u : PROFILE_STATUS_CANNOT_OPEN;
               },
               failure) ||
           out.failed();
}

void printSectionInfo(const ToolOptions &options, const ProfileSectionInfo &info, Printer &out) {
    if (options.json) {
        out.print(jsonSectionInfo(info));
        return;
    }
    out.print("Section   " + cell(info.name) + "\n");
    out.print("Version   " + cell(info.version) + "\n");
    out.print("Keys      " + std::to_string(info.keyCount) + "\n");
    out.print("Checksum  " + std::to_string(info.checksum) + "\n");
    out.print("Stored    " + std::to_string(info.storedChecksum) + "\n");
    out.print(std::string("Damaged   ") + (info.damaged != 0 ? "yes" : "no") + "\n");
}

void printValue(const ToolOptions &options, const ProfileSectionInfo &info,
                const std::string &value, Printer &out) {
    if (options.json) {
        out.print(jsonKey(info, options.key, value));
        return;
    }
    out.print(cell(value) + "\n");
    if (info.damaged != 0)
        printToolError(out, "warning: section " + quoted(info.name) + " version " +
                                quoted(info.version) +
                                " is damaged: its stored checksum does not match its keys");
}

void printDone(const ToolOptions &options, Printer &out, const std::string &what) {
    if (options.json)
        out.print(jsonDone());
    else if (options.verbose)
        out.print(cell(what) + "\n");
}

void printMissing(const ToolOptions &options, const Failure &failure, const std::string &what,
                  Printer &out) {
    if (options.json) {
        out.print(jsonFailure(failure));
        return;
    }
    printToolError(out, cell(options.file) + ": " + what);
}

void printVersion(const char *toolVersion, const char *libraryVersion, Printer &out) {
    out.print("kvprofile " + cell(toolVersion) + "\nkvinit64 library " + cell(libraryVersion) +
              "\n");
}

void printToolError(Printer &out, const std::string &text) {
    out.flush();
    std::fputs(("kvprofile: " + cell(text) + "\n").c_str(), stderr);
}

void printFailure(const ToolOptions &options, const Failure &failure, Printer &out) {
    if (options.json) {
        out.print(jsonFailure(failure));
        return;
    }
    out.flush();
    std::string file = cell(options.file);
    // A refused line leads, as a compiler names one; any other reason (the
    // system's, a refused value's rule) follows the catalogue's texts.
    bool leads = !failure.detail.empty() && failure.line != 0;
    std::string text;
    if (leads)
        text = "kvprofile: " + file + ":" + std::to_string(failure.line) + ": " +
               cell(failure.detail) + "\n";
    text += "kvprofile: " + file + ": failed with status " + std::to_string(failure.status) + "\n";
    for (const std::string &m : failure.messages) text += cell(m) + "\n";
    if (!failure.detail.empty() && !leads) text += cell(failure.detail) + "\n";
    std::fputs(text.c_str(), stderr);
}
