// The commands that change a file.  Each opens the file for update (which
// takes the updaters' lock), changes the records with the component's own
// checks, and saves at close; a refused change frees the file unwritten, so
// it stays as it was.  Success prints nothing unless --verbose or --json.
#include "commands.h"
#include "profile/loadsave.h"
#include "text.h"

#include <cstring>
#include <string>

namespace {
// A failure and, for people, what to do about it.
int failedWithHint(const ToolOptions &options, const Failure &failure, Printer &out) {
    printFailure(options, failure, out);
    if (options.json) return KVP_EXIT_FAILED;
    bool keyCommand =
        options.command == ToolCommand::Set || options.command == ToolCommand::RemoveKey;
    if (failure.status == PROFILE_STATUS_TAMPERED && failure.line == 0 && keyCommand)
        printToolError(out,
                       sectionText(options) +
                           " is damaged; --refresh changes it, accepting its keys as they are");
    if (failure.status == PROFILE_STATUS_TAMPERED &&
        failure.detail.find("carriage return") != std::string::npos)
        printToolError(out, "'kvprofile repair FILE' drops the keys that hold control characters");
    if (failure.status == PROFILE_STATUS_NO_SECTION && options.command == ToolCommand::Set)
        printToolError(out, "no " + sectionText(options) + "; --create makes it");
    return KVP_EXIT_FAILED;
}

// The save of the commands that change a file: with checksums, and encoded
// again when it was read with --decode.
uint32_t changeSaveFlags(const ToolOptions &options) {
    return PROFILE_SAVE_CHECKSUMS | (options.decode ? PROFILE_SAVE_ENCODE : 0u);
}

// Closes (saves) the changed file and says what changed.
int saved(const ToolOptions &options, ProfileSession &session, uint32_t saveFlags,
          const std::string &what, Printer &out) {
    Failure failure;
    if (!session.close(saveFlags, failure)) return failed(options, failure, out);
    printDone(options, out, what);
    return KVP_EXIT_OK;
}

// True when any ordinary section of the open file had a "CSUM" line: the
// file was protected, and a rewrite keeps it so.
bool hadChecksums(ProfileSession &session, Failure &failure) {
    bool found = false;
    session.eachSection(
        [&found](const SectionView &s) -> uint32_t {
            if (s.checksumLine != PROFILE_CSUM_NONE) found = true;
            return found ? 1u : 0u; // the first one ends the walk
        },
        failure, false);
    return found;
}

// Opens the file for the change, which change(file) makes to the records
// (0 or its status).  A missing file that --create makes anew is made only
// when the change works on an empty scratch file first: a refused change
// leaves no empty file behind.
template <class Change>
bool openAndChange(const ToolOptions &options, ProfileSession &session, Failure &failure,
                   Change &&change) {
    if (options.create) {
        ProfileSession probe;
        ToolOptions plain = options;
        plain.create = false;
        if (!probe.open(plain, PROFILE_OPEN_READ, failure) &&
            failure.status == PROFILE_STATUS_FILE_NOT_FOUND) {
            ProfileSession scratch;
            if (!scratch.openScratch(failure)) return false;
            uint32_t status = change(scratch.file());
            if (status != 0) {
                scratch.fail(status, failure);
                return false;
            }
        }
    }
    if (!session.openForChange(options, failure)) return false;
    uint32_t status = change(session.file());
    if (status == 0) return true;
    // The session frees the file unwritten: it stays as it was.
    session.fail(status, failure);
    return false;
}

uint32_t keyFlags(const ToolOptions &options) {
    return (options.create ? PROFILE_KEYS_CREATE_SECTION : 0u) |
           (options.refresh ? PROFILE_KEYS_ACCEPT_DAMAGE : 0u);
}

// What repair prints for each key it drops.
void reportDropped(const ProfileSection *section, const ProfileKey *key, void *user) {
    std::string &text = *static_cast<std::string *>(user);
    text += "dropped key \"";
    appendForPeople(text, profileKeyName(key));
    text += "\" = \"";
    appendForPeople(text, profileKeyValue(key));
    text += "\" of section \"";
    appendForPeople(text, profileSectionName(section));
    text += "\" version \"";
    appendForPeople(text, profileSectionVersion(section));
    text += "\": it holds a control character\n";
}
} // namespace

int addSection(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    bool changed = openAndChange(options, session, failure, [&](ProfileFile *file) {
        return profileCreateSection(file, options.name.c_str(), options.version.c_str(), &info);
    });
    if (!changed) return failedWithHint(options, failure, out);
    // A file read with --decode is stored encoded: it is written back so.
    return saved(options, session, changeSaveFlags(options),
                 "added section \"" + options.name + "\" version \"" + info.version + "\" to " +
                     options.file,
                 out);
}

int setKey(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    bool changed = openAndChange(options, session, failure, [&](ProfileFile *file) {
        return profileSetKey(file, options.name.c_str(), options.version.c_str(),
                             options.key.c_str(), options.value.c_str(), keyFlags(options), &info);
    });
    if (!changed) return failedWithHint(options, failure, out);
    return saved(
        options, session, changeSaveFlags(options),
        "set key \"" + options.key + "\" in " + sectionText(options) + " of " + options.file, out);
}

int removeKey(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    uint32_t removed = 0;
    if (!session.openForChange(options, failure)) return failedWithHint(options, failure, out);
    uint32_t status =
        profileRemoveKey(session.file(), options.name.c_str(), options.version.c_str(),
                         options.key.c_str(), keyFlags(options), &info, &removed);
    if (status != 0) {
        session.fail(status, failure);
        return isMissing(status) ? missing(options, session, failure, out)
                                 : failedWithHint(options, failure, out);
    }
    std::string count = removed == 1 ? "" : " (" + std::to_string(removed) + " keys)";
    return saved(options, session, changeSaveFlags(options),
                 "removed key \"" + options.key + "\"" + count + " from " + sectionText(options) +
                     " of " + options.file,
                 out);
}

int removeSection(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    if (!session.openForChange(options, failure)) return failedWithHint(options, failure, out);
    ProfileFile *file = session.file();
    ErrCollector *collector = profileContextCollector(file->contextIndex);
    ProfileSectionInfo info{};
    ProfileSection *section = nullptr;
    uint32_t status =
        std::strcmp(options.name.c_str(), PROFILE_RESERVED_SECTION) == 0
            ? profileFail(collector, PROFILE_STATUS_BAD_SECTION_NAME)
            : profileFindSection(file, options.name.c_str(), options.version.c_str(), &info);
    if (status == 0)
        status = profileSearchSection(collector, file, options.name.c_str(),
                                      options.version.c_str(), &section);
    if (status == 0) status = profileRemoveSection(collector, file, section);
    if (status != 0) {
        session.fail(status, failure);
        return isMissing(status) ? missing(options, session, failure, out)
                                 : failed(options, failure, out);
    }
    return saved(options, session, changeSaveFlags(options),
                 "removed " + sectionText(options) + " with its " + std::to_string(info.keyCount) +
                     (info.keyCount == 1 ? " key" : " keys") + " from " + options.file,
                 out);
}

int rewrite(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    if (!session.open(options, PROFILE_OPEN_UPDATE, failure))
        return failedWithHint(options, failure, out);
    // The protection the file had is kept unless it is dropped on purpose.
    bool checksums = options.checksums || (!options.noChecksums && hadChecksums(session, failure));
    uint32_t flags = (options.encode ? PROFILE_SAVE_ENCODE : 0u) |
                     (checksums ? PROFILE_SAVE_CHECKSUMS : 0u) |
                     (options.refresh ? PROFILE_SAVE_REFRESH : 0u);
    std::string how = checksums ? " with checksums" : " without checksums";
    if (options.refresh) how += ", damaged sections refreshed";
    if (options.encode) how += ", encoded";
    return saved(options, session, flags, "rewrote " + options.file + how, out);
}

int repair(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    if (!session.open(options, PROFILE_OPEN_UPDATE, failure, PROFILE_OPEN_FLAG_KEEP_RETURNS))
        return failed(options, failure, out);
    bool checksums = hadChecksums(session, failure);
    // Said once the file is written: until then nothing is dropped.
    std::string report;
    uint32_t dropped = 0;
    uint32_t status = profileDropRefusedKeys(session.file(), reportDropped, &report, &dropped);
    if (status != 0) {
        session.fail(status, failure);
        return failed(options, failure, out);
    }
    // Written back even with nothing dropped: the rewrite keeps of each line
    // only what the format keeps.
    uint32_t flags =
        (checksums ? PROFILE_SAVE_CHECKSUMS : 0u) | (options.decode ? PROFILE_SAVE_ENCODE : 0u);
    if (!session.close(flags, failure)) return failed(options, failure, out);
    if (options.json)
        out.print("{\n  \"status\": 0,\n  \"dropped\": " + std::to_string(dropped) + "\n}\n");
    else
        out.print(report + "repaired " + forPeople(options.file) + ": " + std::to_string(dropped) +
                  (dropped == 1 ? " key" : " keys") + " dropped\n");
    return KVP_EXIT_OK;
}
