// What kvprofile calls a section and a whole file: protected by its
// checksum, or why not.  show, verify and their JSON use these words.
#pragma once

#include "session.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class SectionState {
    Ok,        // a "CSUM" line that matches the keys, and no key after it
    Reserved,  // the file's own S-y-S-t-E-m section, which has no checksum
    Damaged,   // the "CSUM" line disagrees with the keys before it
    Unchecked, // no "CSUM" line, or one that checks nothing (no number, or 0)
    Uncovered, // keys after the last "CSUM" line, which it does not cover
};

SectionState sectionState(const SectionView &section);
// "ok", "reserved", "DAMAGED", "UNCHECKED", "UNCOVERED".
std::string_view stateWord(SectionState state);
// Why a section is not ok, in words: "stored checksum -1, computed 17",
// "no checksum line", "2 keys after the checksum line".  Empty for ok.
std::string stateReason(const SectionView &section, SectionState state);

// The ordinary sections by state.
struct StateCounts {
    size_t sections = 0; // every section in the list, the reserved one too
    size_t ordinary = 0;
    size_t damaged = 0;
    size_t unchecked = 0;
    size_t uncovered = 0;
    void add(SectionState state);
};

enum class FileVerdict { Ok, Unchecked, Uncovered, Damaged, Incomplete, NothingRecognised };

// The verdict on a loaded file: the worst of its sections, unless it was
// read only in part (endedAtLine) or is a non-empty file without a single
// section.  allowUnchecked lets sections without a checksum pass.
FileVerdict fileVerdict(const StateCounts &counts, const ProfileFile &file, bool allowUnchecked);
// "OK", "UNCHECKED", "UNCOVERED", "DAMAGED", "INCOMPLETE", "NOTHING RECOGNISED".
std::string_view verdictWord(FileVerdict verdict);
// verify's exit code: 0, 3, 3, 1, 2, 2.
int verdictExit(FileVerdict verdict);
// "3 sections, all checked"; "3 sections: 1 damaged, 1 unchecked"; with a
// load that ended early, "3 sections read ...".
std::string stateSummary(const StateCounts &counts, bool partial);
