// One profile file opened through the library's profile component, in a
// context of its own, as the tool's commands need it.
#pragma once

#include "args.h"
#include "profile/list_walk.h"
#include "profile/operations.h"
#include "profile/records.h"

#include <cstdint>
#include <string>
#include <vector>

// A section as the tool reports it: the 8-bit texts as loaded, in the
// library's own records, valid while the file stays open.  show and verify
// print from these instead of copies, so that the tool holds nothing per
// section beside what the load holds (memory: a file of short headers has
// millions of sections).
struct SectionView {
    const char *name = nullptr;
    const char *version = nullptr;
    uint32_t keyCount = 0;
    uint32_t checksum = 0;
    uint32_t storedChecksum = 0;
    bool damaged = false;
    uint32_t checksumLine = PROFILE_CSUM_NONE; // ProfileChecksumLine
    uint32_t keysAfterChecksum = 0;
    const ProfileSection *record = nullptr; // its keys, for ProfileSession::eachKey
};

// A failed step: the component's status, its collector's texts (8-bit), and
// the reason the library gave beside them ("Permission denied", a refused
// value's rule), with the number of the line it names ("line 7: ..."), if
// any, taken out of the text.
struct Failure {
    uint32_t status = 0;
    std::vector<std::string> messages;
    std::string detail;
    uint32_t line = 0;
};

class ProfileSession {
  public:
    ProfileSession() = default;
    // Frees a file that is still open without writing it, then closes the
    // context: a command that failed leaves an updated file as it was.
    ~ProfileSession();
    ProfileSession(const ProfileSession &) = delete;
    ProfileSession &operator=(const ProfileSession &) = delete;

    // Opens a context for the options (--transform, --decode) and the file
    // in it with the open mode and extra open flags; FILE "-" reads standard
    // input whole (reading commands only).  On failure fills failure and
    // returns false.
    bool open(const ToolOptions &options, uint32_t openMode, Failure &failure,
              uint32_t openFlags = 0);

    // For the commands that change a file: opens it for update, or with
    // --create a missing file as a new one.
    bool openForChange(const ToolOptions &options, Failure &failure, uint32_t openFlags = 0);

    // Opens a context whose line functions read nothing and write nothing,
    // and an empty file in it: a place to try a change with the component's
    // own checks before the real file is touched.  On failure fills failure
    // and returns false.
    bool openScratch(Failure &failure);

    // Closes the file with the save flags (the rewrite for open modes 1 and
    // 2).  On failure fills failure and returns false; the file then stays
    // open and the destructor frees it.
    bool close(uint32_t saveFlags, Failure &failure);

    ProfileFile *file() const { return file_; }

    // Calls fn(const SectionView &) for every section in list order, the
    // reserved one included; fn returns 0 to go on, or a status that ends
    // the walk.  Returns true after the last section; otherwise fills
    // failure with that status (or the walk's own, recorded) and returns
    // false.  The file must be open.  Without texts the views' version stays
    // null: a walk that only counts does not look for it (speed: the
    // version is found past the name).
    template <class Fn> bool eachSection(Fn &&fn, Failure &failure, bool texts = true);

    // Calls fn(name, value) (zero-terminated 8-bit texts) for every key of
    // the section in list order.  Returns 0, or the walk's status
    // (recorded), for the section's fn to return to eachSection.
    template <class Fn> uint32_t eachKey(const SectionView &section, Fn &&fn);

    // Fills failure with the status and the collector's texts.
    void fail(uint32_t status, Failure &failure) const;

    // The sections the file (or the standard input this session read) holds
    // when read with --decode: for the hint to try it.  0 when it does not
    // load so.
    size_t sectionsWhenDecoded(const ToolOptions &options) const;

  private:
    int32_t context_ = -1;
    ProfileFile *file_ = nullptr;
    // Standard input, read whole, and where the next line starts in it.
    struct Input {
        bool read = false;
        std::string bytes;
        size_t next = 0;
    } input_;
    static uint32_t readInputLine(char *buffer, uint32_t capacity, FILE *, uint64_t user);
};

template <class Fn> bool ProfileSession::eachSection(Fn &&fn, Failure &failure, bool texts) {
    ErrCollector *collector = profileContextCollector(context_);
    uint32_t status = profileWalk(collector, file_->sections, [&](void *element) -> uint32_t {
        const auto *record = static_cast<const ProfileSection *>(element);
        SectionView view;
        view.name = profileSectionName(record);
        if (texts) view.version = profileSectionVersion(record);
        const ProfileSectionDetail *detail = profileSectionDetail(record);
        view.keyCount = profileSectionKeyCount(record);
        view.checksum = record->checksum;
        view.storedChecksum = detail->storedChecksum;
        view.damaged = detail->damaged != 0;
        view.checksumLine = detail->checksumLine;
        view.keysAfterChecksum = detail->keysAfterChecksum;
        view.record = record;
        return fn(static_cast<const SectionView &>(view));
    });
    if (status == 0) return true;
    fail(status, failure); // the walk or fn has recorded it
    return false;
}

template <class Fn> uint32_t ProfileSession::eachKey(const SectionView &section, Fn &&fn) {
    return profileWalk(profileContextCollector(context_), profileSectionKeys(section.record),
                       [&fn](void *k) {
                           const auto *key = static_cast<const ProfileKey *>(k);
                           fn(profileKeyName(key), profileKeyValue(key));
                           return 0u;
                       });
}
