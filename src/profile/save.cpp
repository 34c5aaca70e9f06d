// Saving a profile file: a fresh reserved section, then every ordinary
// section with its keys and, on request, its "CSUM" line.  Each line goes to
// the context's line functions as soon as it is formatted.
//
// Whatever loaded must read back the same.  Headers are written as the
// reader reads them (see headerLine), and the writer adds two kinds of
// "CSUM" line that the plain layout does not need:
// - "CSUM = 0" before a key that the reader only accepts right after a
//   "CSUM" line (a key named "L" and a digit whose line holds "<", ">", "#",
//   "@", "?" or "[").  A stored checksum of 0 is never compared, so the line
//   changes nothing else.
// - "CSUM = 1" right after the header of a damaged section whose final
//   "CSUM" line would agree with its keys (or be 0) and so would no longer
//   show the damage.  Compared with the checksum of no keys, 0, it marks the
//   section damaged again when read back.
#include "profile/checksum.h"
#include "profile/limits.h"
#include "profile/linecodec.h"
#include "profile/lineio.h"
#include "profile/list_walk.h"
#include "profile/loadsave.h"
#include "profile/records.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t DAMAGE_MARKER = 1;
// Characters that make the reader refuse a line, or read it as a header.
constexpr char READER_REFUSES[] = "<>#@?[";
// Bytes that the reader would refuse or misread in the "FILENAME" value.
constexpr char FILENAME_REFUSES[] = "<>#@?[]";

// The path as the "FILENAME" value: each byte that the reader would refuse
// or misread becomes "_", and a value that would read back empty (nothing
// but blanks and "=") is written as "_".
void filenameValue(const char *path, char *out, size_t size) {
    size_t n = 0;
    bool readsBackEmpty = true;
    for (; path[n] != '\0' && n + 1 < size; ++n) {
        auto c = static_cast<unsigned char>(path[n]);
        bool refused = c < 32 || c == 127 || std::strchr(FILENAME_REFUSES, c) != nullptr;
        out[n] = refused ? '_' : path[n];
        if (out[n] != ' ' && out[n] != '=') readsBackEmpty = false;
    }
    out[n] = '\0';
    if (readsBackEmpty) std::snprintf(out, size, "_");
}

// True for a key that the reader accepts only as the first key line after a
// "CSUM" line (it was loaded there).
bool needsChecksumLineBefore(const ProfileKey *key) {
    const char *name = profileKeyName(key);
    return name[0] == 'L' && name[1] >= '0' && name[1] <= '9' &&
           (std::strpbrk(name, READER_REFUSES) != nullptr ||
            std::strpbrk(profileKeyValue(key), READER_REFUSES) != nullptr);
}

struct Saver {
    ErrCollector *collector;
    ProfileFile *file;
    ProfileLibContext *context;
    uint32_t flags;
    char line[PROFILE_WRITE_LINE_SIZE];
    char encoded[PROFILE_ENCODE_SIZE];
    // The length of the text in line when the key step knows it (the line
    // written most), else 0.
    size_t lineLength;

    // The line step: encode the formatted line when asked, then write it.
    // An encodeLine status ends the save with that status; a failed write
    // ends it with 5, so that no save reports success for a file it did not
    // write whole.
    uint32_t put() {
        const char *out = line;
        size_t length = lineLength;
        lineLength = 0;
        if (length != 0 && !(flags & PROFILE_SAVE_ENCODE) &&
            context->writeLine == defaultWriteLine) {
            // Chosen for speed: the line is written by its known length, not
            // measured again by fputs.
            if (profileWriteText(line, length, file->stream) != 0)
                return profileFail(collector, PROFILE_STATUS_WRITE_FAILED);
            return 0;
        }
        if (flags & PROFILE_SAVE_ENCODE) {
            // A caller's encodeLine gets a zeroed buffer; the library's own
            // always terminates what it writes.
            if (context->encodeLine != defaultEncodeLine)
                std::memset(encoded, 0, sizeof encoded);
            else
                encoded[0] = '\0';
            uint32_t status = context->encodeLine(line, encoded, PROFILE_ENCODE_SIZE,
                                                  context->transform, file->user);
            if (status != 0) return profileFail(collector, status);
            encoded[PROFILE_ENCODE_SIZE - 1] = '\0';
            out = encoded;
        }
        if (context->writeLine(out, file->stream, file->user) != 0)
            return profileFail(collector, PROFILE_STATUS_WRITE_FAILED);
        return 0;
    }

    // The header as the reader reads it back.  "[ *]" would read back as a
    // section named "*", so the empty name is written "[]".  A version holds
    // "]" only where whitespace came before it (the reader copies a "]"
    // that does not follow the previous character directly), so each "]" of
    // the version is written after a blank.
    void headerLine(const ProfileSection *section) {
        static_assert(PROFILE_WRITE_LINE_SIZE > PROFILE_NAME_SIZE + 2 * PROFILE_VERSION_SIZE + 4);
        if (profileSectionName(section)[0] == '\0') {
            std::snprintf(line, sizeof line, "[]\n");
            return;
        }
        size_t n = static_cast<size_t>(
            std::snprintf(line, sizeof line, "[%s ", profileSectionName(section)));
        for (const char *v = profileSectionVersion(section); *v != '\0'; ++v) {
            if (*v == ']') line[n++] = ' ';
            line[n++] = *v;
        }
        std::snprintf(line + n, sizeof line - n, "]\n");
    }

    uint32_t putChecksumLine(uint32_t value) {
        std::snprintf(line, sizeof line, "%s = %d\n", PROFILE_KEY_CSUM,
                      static_cast<int32_t>(value));
        return put();
    }

    uint32_t putKey(const ProfileKey *key) {
        if (needsChecksumLineBefore(key)) {
            uint32_t status = putChecksumLine(0);
            if (status != 0) return status;
        }
        // "%s = %s\n", put together by hand: this is the line written most.
        const char *name = profileKeyName(key);
        size_t nameLength = std::strlen(name);
        const char *value = name + nameLength + 1; // profileKeyValue
        size_t valueLength = std::strlen(value);
        if (nameLength + valueLength + 4 >= sizeof line) {
            std::snprintf(line, sizeof line, "%s = %s\n", name, value);
            return put();
        }
        char *end = line;
        std::memcpy(end, name, nameLength);
        end += nameLength;
        std::memcpy(end, " = ", 3);
        end += 3;
        std::memcpy(end, value, valueLength);
        end += valueLength;
        end[0] = '\n';
        end[1] = '\0';
        lineLength = static_cast<size_t>(end + 1 - line);
        return put();
    }

    uint32_t putSection(ProfileSection *section) {
        if (std::strcmp(profileSectionName(section), PROFILE_RESERVED_SECTION) == 0) return 0;
        std::snprintf(line, sizeof line, "\n");
        uint32_t status = put();
        if (status != 0) return status;
        headerLine(section);
        status = put();
        if (status != 0) return status;

        status = profileSectionChecksum(collector, context->transform, section);
        if (status != 0) return status;
        const ProfileSectionDetail *detail = profileSectionDetail(section);
        bool keepStored =
            detail->damaged != 0 && detail->storedChecksum != 0 && !(flags & PROFILE_SAVE_REFRESH);
        uint32_t value = keepStored ? detail->storedChecksum : section->checksum;
        bool checksums = (flags & PROFILE_SAVE_CHECKSUMS) != 0;
        if (checksums && detail->damaged != 0 && !(flags & PROFILE_SAVE_REFRESH) &&
            (value == 0 || value == section->checksum)) {
            status = putChecksumLine(DAMAGE_MARKER);
            if (status != 0) return status;
        }
        status = profileWalk(collector, profileSectionKeys(section),
                             [this](void *key) { return putKey(static_cast<ProfileKey *>(key)); });
        if (status != 0) return status;
        return checksums ? putChecksumLine(value) : 0;
    }
};

} // namespace

uint32_t profileSave(ErrCollector *collector, ProfileFile *file, uint32_t saveFlags) {
    ProfileLibContext *context = profileFileContext(file);
    if (context == nullptr) return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    static_assert(PROFILE_WRITE_LINE_SIZE > PROFILE_PATH_SIZE + sizeof PROFILE_KEY_FILENAME + 4);
    Saver saver{collector, file, context, saveFlags, {}, {}, 0};

    // The true count of the sections written, whatever the file said.
    int32_t ordinary = 0;
    uint32_t status = profileWalk(collector, file->sections, [&ordinary](void *element) {
        auto *section = static_cast<ProfileSection *>(element);
        if (std::strcmp(profileSectionName(section), PROFILE_RESERVED_SECTION) != 0) ++ordinary;
        return 0u;
    });
    if (status != 0) return status;

    char value[PROFILE_PATH_SIZE];
    filenameValue(file->path, value, sizeof value);
    std::snprintf(saver.line, sizeof saver.line, "[%s %s]\n", PROFILE_RESERVED_SECTION,
                  PROFILE_RESERVED_VERSION);
    status = saver.put();
    if (status == 0) {
        std::snprintf(saver.line, sizeof saver.line, "%s = %s\n", PROFILE_KEY_FILENAME, value);
        status = saver.put();
    }
    if (status == 0) {
        std::snprintf(saver.line, sizeof saver.line, "%s = %d\n", PROFILE_KEY_NUMSECTION, ordinary);
        status = saver.put();
    }
    if (status != 0) return status;
    return profileWalk(collector, file->sections, [&saver](void *section) {
        return saver.putSection(static_cast<ProfileSection *>(section));
    });
}
