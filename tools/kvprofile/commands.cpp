#include "commands.h"

#include "json.h"
#include "profile/loadsave.h"
#include "shellquote.h"
#include "text.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

int failed(const ToolOptions &options, const Failure &failure, Printer &out) {
    printFailure(options, failure, out);
    return KVP_EXIT_FAILED;
}

std::string sectionText(const ToolOptions &options) {
    return "section \"" + options.name + "\" version \"" + options.version + "\"";
}

bool isMissing(uint32_t status) {
    return status == PROFILE_STATUS_NO_SECTION || status == PROFILE_STATUS_NO_KEY;
}

int missing(const ToolOptions &options, const ProfileSession &session, const Failure &failure,
            Printer &out) {
    std::string what = failure.status == PROFILE_STATUS_NO_SECTION
                           ? "no " + sectionText(options)
                           : "no key \"" + options.key + "\" in " + sectionText(options);
    return missingThing(options, session, failure, what, out);
}

int missingThing(const ToolOptions &options, const ProfileSession &session, const Failure &failure,
                 const std::string &what, Printer &out) {
    uint32_t endedAt = session.file()->loadEndedAtLine;
    if (endedAt == 0) {
        printMissing(options, failure, what, out);
        return KVP_EXIT_MISSING;
    }
    if (!options.json)
        printToolError(out, options.file + ": " + what + " before line " + std::to_string(endedAt) +
                                ", where the load ended early: the line could not be decoded");
    else
        printFailure(options, failure, out);
    return KVP_EXIT_FAILED;
}

namespace {
// A file that does not load for a reading command: the failure, and the
// hint to try --decode when the file loads with it (an encoded file's
// lines often hold characters that a plain line may not).
int openFailed(const ToolOptions &options, const ProfileSession &session, const Failure &failure,
               Printer &out) {
    printFailure(options, failure, out);
    if (options.json || options.decode || failure.status != PROFILE_STATUS_TAMPERED)
        return KVP_EXIT_FAILED;
    size_t sections = session.sectionsWhenDecoded(options);
    if (sections != 0)
        printToolError(out, "read with --decode, " + options.file + " holds " +
                                std::to_string(sections) +
                                (sections == 1 ? " section" : " sections") + ": try --decode");
    return KVP_EXIT_FAILED;
}

// The reading commands print from the open file and close it afterwards: a
// read-only close only frees the file and cannot fail, so the output is the
// same as if it had been closed first.

// A walk that ended because standard output failed leaves failure empty:
// main reports the failed write.
int walkFailed(const ToolOptions &options, const Failure &failure, Printer &out) {
    if (out.failed()) return KVP_EXIT_FAILED;
    return failed(options, failure, out);
}

int show(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    if (!session.open(options, PROFILE_OPEN_READ, failure))
        return openFailed(options, session, failure, out);
    if (!printSections(options, session, out, failure) || out.failed())
        return walkFailed(options, failure, out);
    if (!session.close(0, failure)) return failed(options, failure, out);
    return KVP_EXIT_OK;
}

int verify(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    FileVerdict verdict = FileVerdict::Ok;
    if (!session.open(options, PROFILE_OPEN_READ, failure))
        return openFailed(options, session, failure, out);
    if (!printVerdict(options, session, out, verdict, failure) || out.failed())
        return walkFailed(options, failure, out);
    if (!session.close(0, failure)) return failed(options, failure, out);
    return verdictExit(verdict);
}

int find(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    if (!session.open(options, PROFILE_OPEN_READ, failure))
        return openFailed(options, session, failure, out);
    uint32_t status =
        profileFindSection(session.file(), options.name.c_str(), options.version.c_str(), &info);
    if (status != 0) {
        session.fail(status, failure);
        return failed(options, failure, out);
    }
    if (!session.close(0, failure)) return failed(options, failure, out);
    printSectionInfo(options, info, out);
    return KVP_EXIT_OK;
}

int get(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    ProfileSectionInfo info{};
    if (!session.open(options, PROFILE_OPEN_READ, failure))
        return openFailed(options, session, failure, out);
    std::string value(PROFILE_VALUE_SIZE, '\0');
    uint32_t status = profileGetKey(session.file(), options.name.c_str(), options.version.c_str(),
                                    options.key.c_str(), value.data(), value.size(), &info);
    if (status != 0) {
        session.fail(status, failure);
        return isMissing(status) ? missing(options, session, failure, out)
                                 : failed(options, failure, out);
    }
    value.resize(value.find('\0'));
    if (!session.close(0, failure)) return failed(options, failure, out);
    printValue(options, info, value, out);
    return KVP_EXIT_OK;
}

// sections: every ordinary section, "name version" a line.
int sections(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    if (!session.open(options, PROFILE_OPEN_READ, failure))
        return openFailed(options, session, failure, out);
    std::string &text = out.text();
    bool first = true;
    if (options.json) appendJsonNamesHead(text, options.file);
    bool ok = session.eachSection(
        [&](const SectionView &s) -> uint32_t {
            if (std::strcmp(s.name, PROFILE_RESERVED_SECTION) == 0) return 0;
            if (options.json) {
                appendJsonName(text, s, first);
            } else {
                appendForPeople(text, s.name);
                text += ' ';
                appendForPeople(text, s.version);
                text += '\n';
            }
            first = false;
            return out.lineDone() ? 0u : PROFILE_STATUS_CANNOT_OPEN;
        },
        failure);
    if (!ok) return walkFailed(options, failure, out);
    if (options.json) appendJsonListEnd(text, !first);
    return KVP_EXIT_OK;
}

// keys: the key names of one section; without VERSION the name must be
// that of one section only.
int keys(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    if (!session.open(options, PROFILE_OPEN_READ, failure))
        return openFailed(options, session, failure, out);
    SectionView found;
    std::string versions;
    size_t matches = 0;
    bool walked = session.eachSection(
        [&](const SectionView &s) -> uint32_t {
            if (options.name != s.name) return 0;
            if (options.hasVersion && options.version != s.version) return 0;
            if (matches++ == 0) found = s;
            versions += (versions.empty() ? "\"" : ", \"") + forPeople(s.version) + "\"";
            return 0;
        },
        failure);
    if (!walked) return failed(options, failure, out);
    if (matches == 0) {
        failure = Failure{PROFILE_STATUS_NO_SECTION, {}, {}, 0};
        std::string what = options.hasVersion ? "no " + sectionText(options)
                                              : "no section \"" + options.name + "\"";
        return missingThing(options, session, failure, what, out);
    }
    if (matches > 1 && !options.hasVersion) {
        printToolError(out, options.file + ": section \"" + options.name + "\" has the versions " +
                                versions + ": give one");
        return KVP_EXIT_FAILED;
    }
    std::string &text = out.text();
    bool first = true;
    if (options.json) appendJsonKeysHead(text, options.file, found);
    uint32_t status = session.eachKey(found, [&](const char *name, const char *) {
        if (options.json) {
            appendJsonKeyName(text, name, first);
        } else {
            appendForPeople(text, name);
            text += '\n';
        }
        first = false;
        out.lineDone();
    });
    if (status != 0) {
        session.fail(status, failure);
        return failed(options, failure, out);
    }
    if (options.json) appendJsonListEnd(text, !first);
    return KVP_EXIT_OK;
}

// dump: "section version key = value" a line, each word quoted for a
// POSIX shell where it needs it.
int dump(const ToolOptions &options, Printer &out) {
    ProfileSession session;
    Failure failure;
    if (!session.open(options, PROFILE_OPEN_READ, failure))
        return openFailed(options, session, failure, out);
    std::string &text = out.text();
    std::string prefix;
    bool ok = session.eachSection(
        [&](const SectionView &s) -> uint32_t {
            prefix.clear();
            appendShellWord(prefix, s.name);
            prefix += ' ';
            appendShellWord(prefix, s.version);
            prefix += ' ';
            uint32_t status = session.eachKey(s, [&](const char *name, const char *value) {
                text += prefix;
                appendShellWord(text, name);
                text += " = ";
                appendShellWord(text, value);
                text += '\n';
                out.lineDone();
            });
            return out.failed() ? PROFILE_STATUS_CANNOT_OPEN : status;
        },
        failure);
    if (!ok) return walkFailed(options, failure, out);
    return KVP_EXIT_OK;
}

int dispatch(const ToolOptions &options, Printer &out) {
    switch (options.command) {
    case ToolCommand::Show:
        return show(options, out);
    case ToolCommand::Verify:
        return verify(options, out);
    case ToolCommand::Sections:
        return sections(options, out);
    case ToolCommand::Keys:
        return keys(options, out);
    case ToolCommand::Find:
        return find(options, out);
    case ToolCommand::Get:
        return get(options, out);
    case ToolCommand::Dump:
        return dump(options, out);
    case ToolCommand::AddSection:
        return addSection(options, out);
    case ToolCommand::Set:
        return setKey(options, out);
    case ToolCommand::RemoveKey:
        return removeKey(options, out);
    case ToolCommand::RemoveSection:
        return removeSection(options, out);
    case ToolCommand::Rewrite:
        return rewrite(options, out);
    case ToolCommand::Repair:
        return repair(options, out);
    }
    return KVP_EXIT_FAILED;
}
} // namespace

int runCommand(const ToolOptions &options, Printer &out) {
    try {
        return dispatch(options, out);
    } catch (const std::exception &e) {
        printToolError(out, e.what());
    }
    return KVP_EXIT_FAILED;
}
