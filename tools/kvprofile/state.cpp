#include "state.h"

#include "args.h"
#include "profile/limits.h"

#include <cstring>

SectionState sectionState(const SectionView &s) {
    if (std::strcmp(s.name, PROFILE_RESERVED_SECTION) == 0) return SectionState::Reserved;
    if (s.damaged) return SectionState::Damaged;
    if (s.checksumLine != PROFILE_CSUM_NUMBER) return SectionState::Unchecked;
    // The library reads "CSUM = 0" as no checksum and never calls it damaged.
    if (s.storedChecksum == 0 && s.checksum != 0 && s.keysAfterChecksum == 0)
        return SectionState::Unchecked;
    if (s.keysAfterChecksum != 0) return SectionState::Uncovered;
    return SectionState::Ok;
}

std::string_view stateWord(SectionState state) {
    switch (state) {
    case SectionState::Ok:
        return "ok";
    case SectionState::Reserved:
        return "reserved";
    case SectionState::Damaged:
        return "DAMAGED";
    case SectionState::Unchecked:
        return "UNCHECKED";
    case SectionState::Uncovered:
        return "UNCOVERED";
    }
    return "?";
}

std::string stateReason(const SectionView &s, SectionState state) {
    switch (state) {
    case SectionState::Damaged:
        return "stored checksum " + std::to_string(s.storedChecksum) + ", computed " +
               std::to_string(s.checksum);
    case SectionState::Unchecked:
        if (s.checksumLine == PROFILE_CSUM_NONE) return "no checksum line";
        if (s.checksumLine == PROFILE_CSUM_NOT_NUMBER) return "its CSUM line holds no number";
        return "its CSUM line is 0, which checks nothing";
    case SectionState::Uncovered: {
        std::string count = std::to_string(s.keysAfterChecksum);
        if (s.keysAfterChecksum == PROFILE_KEYS_AFTER_MAX) count += " or more";
        return count + (s.keysAfterChecksum == 1 ? " key" : " keys") +
               " after the checksum line, not covered by it";
    }
    default:
        return "";
    }
}

void StateCounts::add(SectionState state) {
    ++sections;
    if (state == SectionState::Reserved) return;
    ++ordinary;
    if (state == SectionState::Damaged) ++damaged;
    if (state == SectionState::Unchecked) ++unchecked;
    if (state == SectionState::Uncovered) ++uncovered;
}

FileVerdict fileVerdict(const StateCounts &counts, const ProfileFile &file, bool allowUnchecked) {
    if (file.loadEndedAtLine != 0) return FileVerdict::Incomplete;
    if (counts.sections == 0 && file.linesRead != 0) return FileVerdict::NothingRecognised;
    if (counts.damaged != 0) return FileVerdict::Damaged;
    if (counts.uncovered != 0) return FileVerdict::Uncovered;
    if (counts.unchecked != 0 && !allowUnchecked) return FileVerdict::Unchecked;
    return FileVerdict::Ok;
}

std::string_view verdictWord(FileVerdict verdict) {
    switch (verdict) {
    case FileVerdict::Ok:
        return "OK";
    case FileVerdict::Unchecked:
        return "UNCHECKED";
    case FileVerdict::Uncovered:
        return "UNCOVERED";
    case FileVerdict::Damaged:
        return "DAMAGED";
    case FileVerdict::Incomplete:
        return "INCOMPLETE";
    case FileVerdict::NothingRecognised:
        return "NOTHING RECOGNISED";
    }
    return "?";
}

int verdictExit(FileVerdict verdict) {
    switch (verdict) {
    case FileVerdict::Ok:
        return KVP_EXIT_OK;
    case FileVerdict::Unchecked:
    case FileVerdict::Uncovered:
        return KVP_EXIT_UNCHECKED;
    case FileVerdict::Damaged:
        return KVP_EXIT_DAMAGED;
    default:
        return KVP_EXIT_FAILED;
    }
}

std::string stateSummary(const StateCounts &counts, bool partial) {
    std::string text = std::to_string(counts.ordinary) +
                       (counts.ordinary == 1 ? " section" : " sections") + (partial ? " read" : "");
    std::string states;
    auto add = [&states](size_t n, const char *word) {
        if (n == 0) return;
        states += (states.empty() ? ": " : ", ") + std::to_string(n) + " " + word;
    };
    add(counts.damaged, "damaged");
    add(counts.uncovered, "uncovered");
    add(counts.unchecked, "unchecked");
    if (states.empty()) return counts.ordinary == 0 ? text : text + ", all checked";
    return text + states;
}
