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
// Standard output gathers here and goes out in writes of about this size:
// show prints a line per section, millions for some files, and the stream
// would otherwise write a few kilobytes at a time (speed).  The room for it
// is taken once, before the first line of show and verify, and kept below
// the size that the allocator would map anew (fresh pages, each faulted in).
constexpr size_t OUTPUT_CHUNK = size_t{1} << 15;
constexpr size_t OUTPUT_ROOM = OUTPUT_CHUNK + (size_t{1} << 14);
std::string pending;

void writePending() {
    if (pending.empty()) return;
    std::fwrite(pending.data(), 1, pending.size(), stdout);
    pending.clear();
}

// Writes the pending output once a chunk has gathered.
void chunkDone() {
    if (pending.size() >= OUTPUT_CHUNK) writePending();
}

void out(const std::string &text) {
    pending += text;
    chunkDone();
}

// An 8-bit text from the file or the command line, ready to be printed.
std::string cell(const std::string &bytes) { return forPeople(bytes); }

std::string quoted(const std::string &bytes) { return "\"" + cell(bytes) + "\""; }

// "3 sections, 1 damaged"; with partial, "3 sections read, ...".
std::string damagedSummary(size_t sections, size_t damaged, bool partial) {
    std::string total = std::to_string(sections) + (sections == 1 ? " section" : " sections");
    if (partial) total += " read";
    if (damaged == 0) return total + ", none damaged";
    return total + ", " + std::to_string(damaged) + " damaged";
}

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
    size_t sections = 0;
    size_t damaged = 0;
    size_t widths[COLUMNS] = {}; // the widest cell of each column, headings included
};

// show without --keys keeps what the rows print, compactly, from the first
// walk, up to this many bytes, and then prints them without a second walk:
// the sections lie far apart in the loaded file's memory, among their keys,
// and each step of a walk waits for a cache and address-translation miss
// (speed).  Past the limit (a file of very many sections) the rows come from
// a second walk, so that the tool's memory stays close to the load's.
constexpr size_t ROWS_KEPT_BYTES = size_t{1} << 20;

// The kept rows: for each section its damaged flag (one byte), key count,
// checksum and stored checksum (four bytes each, as in memory), then its
// name and version for people, each ending in a zero byte.
struct KeptRows {
    bool wanted = false; // still being kept; cleared past ROWS_KEPT_BYTES
    std::string bytes;
};

constexpr size_t KEPT_NUMBERS = 1 + 3 * sizeof(uint32_t);

void keepRow(KeptRows &kept, const SectionView &s, std::string_view name,
             std::string_view version) {
    char numbers[KEPT_NUMBERS];
    numbers[0] = s.damaged ? 1 : 0;
    std::memcpy(numbers + 1, &s.keyCount, sizeof(uint32_t));
    std::memcpy(numbers + 1 + sizeof(uint32_t), &s.checksum, sizeof(uint32_t));
    std::memcpy(numbers + 1 + 2 * sizeof(uint32_t), &s.storedChecksum, sizeof(uint32_t));
    kept.bytes.append(numbers, KEPT_NUMBERS);
    kept.bytes += name;
    kept.bytes += '\0';
    kept.bytes += version;
    kept.bytes += '\0';
    if (kept.bytes.size() > ROWS_KEPT_BYTES) {
        kept.wanted = false;
        std::string().swap(kept.bytes);
    }
}

std::string_view stateText(bool damaged) { return damaged ? "DAMAGED" : "ok"; }

// The first walk: counts the sections and the damaged ones; with widths,
// the table's column widths, and the rows into kept while it is wanted;
// with keys, walks every key list too, so that any walk that can fail has
// failed before anything is printed.
bool countSections(ProfileSession &session, bool widths, bool keys, SectionCounts &counts,
                   KeptRows &kept, Failure &failure) {
    if (widths)
        for (int c = 0; c < COLUMNS; ++c) counts.widths[c] = displayWidth(HEADINGS[c]);
    std::string nameScratch, versionScratch; // room kept from section to section (speed)
    return session.eachSection(
        [&](const SectionView &s) -> uint32_t {
            ++counts.sections;
            if (s.damaged) ++counts.damaged;
            if (widths) {
                std::string_view name = viewForPeople(s.name, nameScratch);
                std::string_view version = viewForPeople(s.version, versionScratch);
                size_t cells[COLUMNS] = {displayWidth(name),
                                         displayWidth(version),
                                         decimalWidth(s.keyCount),
                                         decimalWidth(s.checksum),
                                         decimalWidth(s.storedChecksum),
                                         stateText(s.damaged).size()};
                for (int c = 0; c < COLUMNS; ++c)
                    counts.widths[c] = std::max(counts.widths[c], cells[c]);
                if (kept.wanted) keepRow(kept, s, name, version);
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
// pending output, a row per section (speed).
void appendRow(std::string_view mark, const Cell (&cells)[COLUMNS],
               const size_t (&widths)[COLUMNS]) {
    size_t start = pending.size();
    size_t most = mark.size() + 2 * (COLUMNS - 1) + 1;
    size_t padding[COLUMNS];
    for (int c = 0; c < COLUMNS; ++c) {
        padding[c] = cells[c].width >= widths[c] ? 0 : widths[c] - cells[c].width;
        most += padding[c] + cells[c].text.size();
    }
    pending.resize(start + most);
    char *const begin = pending.data() + start;
    char *p = begin;
    auto put = [&p](std::string_view text) {
        std::memcpy(p, text.data(), text.size());
        p += text.size();
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
    pending.resize(static_cast<size_t>(p - pending.data()));
}

// A section's row; name and version already for people.
void appendSectionRow(bool damaged, uint32_t keyCount, uint32_t checksum, uint32_t stored,
                      std::string_view name, std::string_view version,
                      const size_t (&widths)[COLUMNS]) {
    char keyDigits[16], checksumDigits[16], storedDigits[16];
    std::string_view state = stateText(damaged);
    const Cell cells[COLUMNS] = {
        {name, displayWidth(name)},       {version, displayWidth(version)},
        numberCell(keyCount, keyDigits),  numberCell(checksum, checksumDigits),
        numberCell(stored, storedDigits), {state, state.size()}};
    appendRow(damaged ? "! " : "  ", cells, widths);
}

// The rows kept by the first walk, in list order.
void appendKeptRows(const KeptRows &kept, const size_t (&widths)[COLUMNS]) {
    const char *p = kept.bytes.data();
    const char *end = p + kept.bytes.size();
    while (p < end) {
        bool damaged = p[0] != 0;
        uint32_t keyCount, checksum, stored;
        std::memcpy(&keyCount, p + 1, sizeof(uint32_t));
        std::memcpy(&checksum, p + 1 + sizeof(uint32_t), sizeof(uint32_t));
        std::memcpy(&stored, p + 1 + 2 * sizeof(uint32_t), sizeof(uint32_t));
        p += KEPT_NUMBERS;
        std::string_view name = p;
        p += name.size() + 1;
        std::string_view version = p;
        p += version.size() + 1;
        appendSectionRow(damaged, keyCount, checksum, stored, name, version, widths);
        chunkDone();
    }
}

// show and verify with --json: every section with its keys, written as it
// is walked.
bool printJson(const ToolOptions &options, ProfileSession &session, Failure &failure) {
    appendJsonSectionsHead(pending, options.file, session.file()->loadEndedAtLine);
    bool firstSection = true;
    bool ok = session.eachSection(
        [&](const SectionView &s) -> uint32_t {
            appendJsonSection(pending, s, firstSection);
            firstSection = false;
            bool firstKey = true;
            uint32_t status = session.eachKey(s, [&](const char *name, const char *value) {
                appendJsonKey(pending, name, value, firstKey);
                firstKey = false;
                chunkDone();
            });
            appendJsonSectionEnd(pending, !firstKey);
            chunkDone();
            return status;
        },
        failure);
    appendJsonSectionsEnd(pending, !firstSection);
    chunkDone();
    return ok;
}
} // namespace

void flushOutput() {
    writePending();
    std::fflush(stdout);
}

bool printSections(const ToolOptions &options, ProfileSession &session, Failure &failure) {
    pending.reserve(OUTPUT_ROOM);
    bool withKeys = options.keys || options.json;
    SectionCounts counts;
    KeptRows kept;
    kept.wanted = !withKeys;
    if (!countSections(session, !options.json, withKeys, counts, kept, failure)) return false;
    if (options.json) return printJson(options, session, failure);

    uint32_t endedAtLine = session.file()->loadEndedAtLine;
    std::string summary = damagedSummary(counts.sections, counts.damaged, endedAtLine != 0);
    if (endedAtLine != 0) summary = "INCOMPLETE, " + summary;
    out("Profile file " + cell(options.file) + ": " + summary + "\n");
    Cell headings[COLUMNS];
    for (int c = 0; c < COLUMNS; ++c) headings[c] = {HEADINGS[c], displayWidth(HEADINGS[c])};
    appendRow("  ", headings, counts.widths);
    if (kept.wanted) {
        appendKeptRows(kept, counts.widths);
    } else {
        // The texts that need a change for people are made in these, whose
        // room is kept from row to row (speed).
        std::string name, version;
        bool ok = session.eachSection(
            [&](const SectionView &s) -> uint32_t {
                appendSectionRow(s.damaged, s.keyCount, s.checksum, s.storedChecksum,
                                 viewForPeople(s.name, name), viewForPeople(s.version, version),
                                 counts.widths);
                uint32_t status = 0;
                if (options.keys)
                    status = session.eachKey(s, [&](const char *key, const char *value) {
                        pending += "      ";
                        appendForPeople(pending, key);
                        pending += " = ";
                        appendForPeople(pending, value);
                        pending += '\n';
                        chunkDone();
                    });
                chunkDone();
                return status;
            },
            failure);
        if (!ok) return false;
    }
    if (counts.damaged > 0)
        out("! marks a section whose stored checksum does not match its keys; "
            "'kvprofile rewrite FILE --checksums --refresh' stores the computed one\n");
    if (endedAtLine != 0) out("! " + endedEarly(endedAtLine) + "\n");
    return true;
}

bool printVerdict(const ToolOptions &options, ProfileSession &session, size_t &damaged,
                  Failure &failure) {
    pending.reserve(OUTPUT_ROOM);
    SectionCounts counts;
    KeptRows none;
    if (!countSections(session, false, options.json, counts, none, failure)) return false;
    damaged = counts.damaged;
    if (options.json) return printJson(options, session, failure);

    uint32_t endedAtLine = session.file()->loadEndedAtLine;
    std::string summary = damagedSummary(counts.sections, counts.damaged, endedAtLine != 0);
    std::string verdict = endedAtLine != 0 ? "INCOMPLETE" : damaged == 0 ? "OK" : "DAMAGED";
    out(verdict + ": " + cell(options.file) + ": " + summary + "\n");
    if (endedAtLine != 0) out("  " + endedEarly(endedAtLine) + "\n");
    if (damaged == 0) return true;
    return session.eachSection(
        [&](const SectionView &s) -> uint32_t {
            if (!s.damaged) return 0;
            pending += "  section \"";
            appendForPeople(pending, s.name);
            pending += "\" version \"";
            appendForPeople(pending, s.version);
            pending += "\": stored checksum ";
            appendDecimal(pending, s.storedChecksum);
            pending += ", computed ";
            appendDecimal(pending, s.checksum);
            pending += '\n';
            chunkDone();
            return 0;
        },
        failure);
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
    flushOutput();
    std::fputs(("kvprofile: " + cell(text) + "\n").c_str(), stderr);
}

void printFailure(const ToolOptions &options, const Failure &failure) {
    if (options.json) {
        out(jsonFailure(failure));
        return;
    }
    flushOutput();
    std::string text = "kvprofile: " + cell(options.file) + ": failed with status " +
                       std::to_string(failure.status) + "\n";
    for (const std::string &m : failure.messages) text += cell(m) + "\n";
    std::fputs(text.c_str(), stderr);
}
