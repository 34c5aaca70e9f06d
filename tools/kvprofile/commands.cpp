#include "commands.h"

#include "output.h"
#include "profile/loadsave.h"
#include "session.h"

#include <cstddef>
#include <cstdio>
#include <exception>
#include <string>

namespace {
int failed(const ToolOptions &options, const Failure &failure) {
    printFailure(options, failure);
    return KVP_EXIT_FAILED;
}

// A failure and, for people, what to do about it.
int failedWithHint(const ToolOptions &options, const Failure &failure) {
    printFailure(options, failure);
    if (options.json) return KVP_EXIT_FAILED;
    if (failure.status == PROFILE_STATUS_TAMPERED)
        printToolError("section \"" + options.name + "\" version \"" + options.version +
                       "\" is damaged; --refresh changes it, accepting its keys as they are");
    if (failure.status == PROFILE_STATUS_NO_SECTION && options.command == ToolCommand::Set)
        printToolError("no section \"" + options.name + "\" version \"" + options.version +
                       "\"; --create makes it");
    return KVP_EXIT_FAILED;
}

std::string sectionText(const ToolOptions &options) {
    return "section \"" + options.name + "\" version \"" + options.version + "\"";
}

// The save of the commands that change a file: with checksums, and encoded
// again when it was read with --decode.
uint32_t changeSaveFlags(const ToolOptions &options) {
    return PROFILE_SAVE_CHECKSUMS | (options.decode ? PROFILE_SAVE_ENCODE : 0u);
}

// get, remove-key: a missing section or key (status 6 or 7) exits 1.  When
// the load ended early it may be in the part not read: that is a failure.
int missing(const ToolOptions &options, const ProfileSession &session, Failure &failure) {
    uint32_t endedAt = session.file()->loadEndedAtLine;
    std::string what = failure.status == PROFILE_STATUS_NO_SECTION
                           ? "no " + sectionText(options)
                           : "no key \"" + options.key + "\" in " + sectionText(options);
    if (endedAt == 0) {
        printMissing(options, failure, what);
        return KVP_EXIT_MISSING;
    }
    if (!options.json)
        printToolError(options.file + ": " + what + " before line " + std::to_string(endedAt) +
                       ", where the load ended early: the line could not be decoded");
    else
        printFailure(options, failure);
    return KVP_EXIT_FAILED;
}

bool isMissing(uint32_t status) {
    return status == PROFILE_STATUS_NO_SECTION || status == PROFILE_STATUS_NO_KEY;
}

// show and verify print from the open file and close it afterwards: a
// read-only close of a stream context only frees the file and cannot fail,
// so the output is the same as if it had been closed first.

int show(const ToolOptions &options) {
    ProfileSession session;
    Failure failure;
    if (!session.open(options, PROFILE_OPEN_READ, failure)) return failed(options, failure);
    if (!printSections(options, session, failure) || !session.close(0, failure))
        return failed(options, failure);
    return KVP_EXIT_OK;
}

int verify(const ToolOptions &options) {
    ProfileSession session;
    Failure failure;
    size_t damaged = 0;
    if (!session.open(options, PROFILE_OPEN_READ, failure)) return failed(options, failure);
    uint32_t endedAt = session.file()->loadEndedAtLine;
    if (!printVerdict(options, session, damaged, failure) || !session.close(0, failure))
        return failed(options, failure);
    // A file read only in part is never called clean.
    if (endedAt != 0) return KVP_EXIT_FAILED;
    return damaged > 0 ? KVP_EXIT_DAMAGED : KVP_EXIT_OK;
}

int find(const ToolOptions &options) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    if (!session.open(options, PROFILE_OPEN_READ, failure)) return failed(options, failure);
    uint32_t status =
        profileFindSection(session.file(), options.name.c_str(), options.version.c_str(), &info);
    if (status != 0) {
        session.fail(status, failure);
        return failed(options, failure);
    }
    if (!session.close(0, failure)) return failed(options, failure);
    printSectionInfo(options, info);
    return KVP_EXIT_OK;
}

// Tries the section on an empty scratch file, with the component's own
// checks: "--create" opens the real file in open mode 2, which empties it at
// once, so a section that would be refused must be refused before that.
bool sectionCanBeCreated(const ToolOptions &options, Failure &failure) {
    ProfileSession scratch;
    ProfileSectionInfo info{};
    if (!scratch.openScratch(failure)) return false;
    uint32_t status =
        profileCreateSection(scratch.file(), options.name.c_str(), options.version.c_str(), &info);
    if (status == 0) return true;
    scratch.fail(status, failure);
    return false;
}

int addSection(const ToolOptions &options) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    if (options.create && !sectionCanBeCreated(options, failure)) return failed(options, failure);
    uint32_t mode = options.create ? PROFILE_OPEN_WRITE : PROFILE_OPEN_UPDATE;
    if (!session.open(options, mode, failure)) return failed(options, failure);
    uint32_t status =
        profileCreateSection(session.file(), options.name.c_str(), options.version.c_str(), &info);
    if (status != 0) {
        // The session frees the file unwritten: an existing file stays as it was.
        session.fail(status, failure);
        return failed(options, failure);
    }
    // A file read with --decode is stored encoded: it is written back so.
    if (!session.close(changeSaveFlags(options), failure)) return failed(options, failure);
    printDone(options, "added section \"" + options.name + "\" version \"" + info.version +
                           "\" to " + options.file);
    return KVP_EXIT_OK;
}

int rewrite(const ToolOptions &options) {
    ProfileSession session;
    Failure failure;
    if (!session.open(options, PROFILE_OPEN_UPDATE, failure)) return failed(options, failure);
    uint32_t flags = (options.encode ? PROFILE_SAVE_ENCODE : 0u) |
                     (options.checksums ? PROFILE_SAVE_CHECKSUMS : 0u) |
                     (options.refresh ? PROFILE_SAVE_REFRESH : 0u);
    if (!session.close(flags, failure)) return failed(options, failure);
    std::string how = options.checksums ? " with checksums" : " without checksums";
    if (options.refresh) how += ", damaged sections refreshed";
    if (options.encode) how += ", encoded";
    printDone(options, "rewrote " + options.file + how);
    return KVP_EXIT_OK;
}
int get(const ToolOptions &options) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    if (!session.open(options, PROFILE_OPEN_READ, failure)) return failed(options, failure);
    std::string value(PROFILE_VALUE_SIZE, '\0');
    uint32_t status = profileGetKey(session.file(), options.name.c_str(), options.version.c_str(),
                                    options.key.c_str(), value.data(), value.size(), &info);
    if (status != 0) {
        session.fail(status, failure);
        return isMissing(status) ? missing(options, session, failure) : failed(options, failure);
    }
    value.resize(value.find('\0'));
    if (!session.close(0, failure)) return failed(options, failure);
    printValue(options, info, value);
    return KVP_EXIT_OK;
}

uint32_t keyFlags(const ToolOptions &options) {
    return (options.create ? PROFILE_KEYS_CREATE_SECTION : 0u) |
           (options.refresh ? PROFILE_KEYS_ACCEPT_DAMAGE : 0u);
}

int set(const ToolOptions &options) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    if (!session.open(options, PROFILE_OPEN_UPDATE, failure)) return failed(options, failure);
    uint32_t status =
        profileSetKey(session.file(), options.name.c_str(), options.version.c_str(),
                      options.key.c_str(), options.value.c_str(), keyFlags(options), &info);
    if (status != 0) {
        // The session frees the file unwritten: it stays as it was.
        session.fail(status, failure);
        return failedWithHint(options, failure);
    }
    if (!session.close(changeSaveFlags(options), failure)) return failed(options, failure);
    printDone(options,
              "set key \"" + options.key + "\" in " + sectionText(options) + " of " + options.file);
    return KVP_EXIT_OK;
}

int removeKey(const ToolOptions &options) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    uint32_t removed = 0;
    if (!session.open(options, PROFILE_OPEN_UPDATE, failure)) return failed(options, failure);
    uint32_t status =
        profileRemoveKey(session.file(), options.name.c_str(), options.version.c_str(),
                         options.key.c_str(), keyFlags(options), &info, &removed);
    if (status != 0) {
        session.fail(status, failure);
        return isMissing(status) ? missing(options, session, failure)
                                 : failedWithHint(options, failure);
    }
    if (!session.close(changeSaveFlags(options), failure)) return failed(options, failure);
    std::string count = removed == 1 ? "" : " (" + std::to_string(removed) + " keys)";
    printDone(options, "removed key \"" + options.key + "\"" + count + " from " +
                           sectionText(options) + " of " + options.file);
    return KVP_EXIT_OK;
}
} // namespace

int runCommand(const ToolOptions &options) {
    try {
        switch (options.command) {
        case ToolCommand::Show:
            return show(options);
        case ToolCommand::Verify:
            return verify(options);
        case ToolCommand::Find:
            return find(options);
        case ToolCommand::AddSection:
            return addSection(options);
        case ToolCommand::Rewrite:
            return rewrite(options);
        case ToolCommand::Get:
            return get(options);
        case ToolCommand::Set:
            return set(options);
        case ToolCommand::RemoveKey:
            return removeKey(options);
        }
    } catch (const std::exception &e) {
        printToolError(e.what());
    }
    return KVP_EXIT_FAILED;
}
