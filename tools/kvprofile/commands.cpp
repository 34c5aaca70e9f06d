#include "commands.h"

#include "output.h"
#include "profile/loadsave.h"
#include "session.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {
int failed(const ToolOptions &options, const Failure &failure) {
    printFailure(options, failure);
    return KVP_EXIT_FAILED;
}

// show and verify: open read-only, take every section, close unchanged.
bool loadSections(const ToolOptions &options, bool withKeys, std::vector<SectionView> &sections,
                  Failure &failure) {
    ProfileSession session;
    return session.open(options, PROFILE_OPEN_READ, failure) &&
           session.sections(withKeys, sections, failure) && session.close(0, failure);
}

int show(const ToolOptions &options) {
    std::vector<SectionView> sections;
    Failure failure;
    if (!loadSections(options, options.keys || options.json, sections, failure))
        return failed(options, failure);
    printSections(options, sections);
    return KVP_EXIT_OK;
}

int verify(const ToolOptions &options) {
    std::vector<SectionView> sections;
    Failure failure;
    if (!loadSections(options, options.json, sections, failure)) return failed(options, failure);
    printVerdict(options, sections);
    for (const SectionView &s : sections)
        if (s.damaged) return KVP_EXIT_DAMAGED;
    return KVP_EXIT_OK;
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

int addSection(const ToolOptions &options) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
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
    uint32_t flags = PROFILE_SAVE_CHECKSUMS | (options.decode ? PROFILE_SAVE_ENCODE : 0u);
    if (!session.close(flags, failure)) return failed(options, failure);
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
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kvprofile: %s\n", e.what());
    }
    return KVP_EXIT_FAILED;
}
