// One profile file opened through the library's profile component, in a
// context of its own, as the tool's commands need it.
#pragma once

#include "args.h"
#include "profile/operations.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A section as the tool reports it: the 8-bit texts as loaded.
struct SectionView {
    std::string name;
    std::string version;
    uint32_t keyCount = 0;
    uint32_t checksum = 0;
    uint32_t storedChecksum = 0;
    bool damaged = false;
    std::vector<std::pair<std::string, std::string>> keys; // name, value; in list order
};

// A failed step: the component's status and its collector's texts (8-bit).
struct Failure {
    uint32_t status = 0;
    std::vector<std::string> messages;
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
    // in it with the open mode.  On failure fills failure and returns false.
    bool open(const ToolOptions &options, uint32_t openMode, Failure &failure);

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

    // Every section in list order, the reserved one included; with keys,
    // the keys of each.  On failure fills failure and returns false.
    bool sections(bool withKeys, std::vector<SectionView> &out, Failure &failure);

    // Fills failure with the status and the collector's texts.
    void fail(uint32_t status, Failure &failure) const;

  private:
    int32_t context_ = -1;
    ProfileFile *file_ = nullptr;
};
