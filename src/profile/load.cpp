// Loading a profile file: one pass over its lines, building the section
// list and checking each section's "CSUM" line against its keys.
#include "profile/checksum.h"
#include "profile/format.h"
#include "profile/limits.h"
#include "profile/linecodec.h"
#include "profile/lineio.h"
#include "profile/linescan.h"
#include "profile/loadsave.h"
#include "profile/records.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// True when a carriage return in the line is followed by more text: the
// line end of a file written with carriage returns alone (or a stray one).
// The parser sees the whole run as one line and a rewrite keeps only what
// the format keeps of it, so everything after the first such line end
// would be lost.
bool textAfterCarriageReturn(const char *line) {
    for (const char *cr = std::strchr(line, '\r'); cr != nullptr; cr = std::strchr(cr + 1, '\r'))
        for (const char *p = cr + 1; *p != '\0' && *p != '\r'; ++p)
            if (!profileIsWhitespace(*p)) return true;
    return false;
}

// The value of a "CSUM" line (length bytes) read as a signed decimal: leading whitespace
// skipped, an optional sign, digits up to the first other character (none:
// 0), clamped to the signed 32-bit range; the 32-bit pattern is returned.
uint32_t parseStoredChecksum(const char *text, size_t length) {
    const char *end = text + length;
    while (text < end && profileIsWhitespace(*text)) ++text;
    bool negative = text < end && *text == '-';
    if (text < end && (*text == '-' || *text == '+')) ++text;
    int64_t magnitude = 0;
    const int64_t limit = negative ? INT64_C(2147483648) : INT64_C(2147483647);
    for (; text < end && *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > limit) magnitude = limit;
    }
    int64_t value = negative ? -magnitude : magnitude;
    return static_cast<uint32_t>(static_cast<int32_t>(value));
}

// True when the value of a "CSUM" line (length bytes) is a decimal number
// as the writer writes it: an optional "-" and digits, nothing else.
bool isChecksumNumber(const char *text, size_t length) {
    if (length > 0 && *text == '-') ++text, --length;
    if (length == 0) return false;
    for (size_t i = 0; i < length; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// The rule that profileParseLine applied to refuse the normalised line,
// in words, for the detail of a failed load.
const char *refusedRule(const char *line, char (&scratch)[96]) {
    const char *rejected = std::strpbrk(line, "<>#@?");
    if (rejected != nullptr) {
        std::snprintf(scratch, sizeof scratch, "'%c' is not allowed in a line (refused: < > # @ ?)",
                      *rejected);
        return scratch;
    }
    if (std::strchr(line, '[') != nullptr) {
        if (std::strchr(line, ']') == nullptr) return "section header without ']'";
        const char *p = line;
        while (profileIsWhitespace(*p) || *p == '[') ++p;
        const char *name = p;
        while (*p != '\0' && *p != ']' && !profileIsWhitespace(*p)) ++p;
        if (static_cast<size_t>(p - name) > PROFILE_NAME_SIZE - 1)
            return "section name longer than 76 characters";
        size_t versionLength = 0;
        for (; *p != '\0' && *p != ']'; ++p)
            if (!profileIsWhitespace(*p)) ++versionLength;
        if (versionLength > PROFILE_VERSION_SIZE - 1)
            return "section version longer than 20 characters";
        return "section header whose version does not end right at ']'";
    }
    const char *p = line;
    while (profileIsWhitespace(*p)) ++p;
    const char *name = p;
    while (*p != '\0' && *p != '=' && !profileIsWhitespace(*p)) ++p;
    size_t nameLength = static_cast<size_t>(p - name);
    if (nameLength > PROFILE_KEY_NAME_SIZE - 1) return "key name longer than 60 characters";
    if (nameLength == 0) return "key line without a key name";
    while (*p == '=' || profileIsWhitespace(*p)) ++p;
    if (*p == '\0') return "key line without a value";
    return "value longer than 4,500 characters";
}

// The section being read and what the load knows about it.
struct LoadState {
    ErrCollector *collector;
    ProfileFile *file;
    uint32_t transform;
    ProfileSection *open = nullptr; // not yet in the file's list
    bool openIsReserved = false;
    bool reservedMet = false;
    bool reservedKeyRefused = false; // the failure was a foreign key in the reserved section
    uint32_t sum = 0;                // running sum of the open section's key checksums
    uint32_t keysAtChecksum = 0;     // the open section's key count at its last "CSUM" line

    // Appends the open section to the file with its final checksum.
    uint32_t closeSection() {
        if (open == nullptr) return 0;
        ProfileSection *section = open;
        open = nullptr;
        // The running sum is the sum over all the section's keys.
        profileSetKnownChecksum(section, sum, transform);
        // One that shares a detail has no keys, so none after its "CSUM" line.
        ProfileSectionDetail *detail = profileSectionOwnedDetail(section);
        if (detail != nullptr && detail->checksumLine != PROFILE_CSUM_NONE) {
            uint32_t after = profileSectionKeyCount(section) - keysAtChecksum;
            detail->keysAfterChecksum =
                after < PROFILE_KEYS_AFTER_MAX ? after : PROFILE_KEYS_AFTER_MAX;
        }
        // On a failure the section stays unused in the file's arena.
        return profileAddSection(collector, file, section);
    }

    // Ends a failed load: the section being built, with its keys, stays
    // unused in the file's arena; the sections already appended stay in the
    // list.  The caller frees them all with the file.  A refused line
    // (status 8, lineNumber given) puts "line N: " and the rule it broke
    // into the context's detail.
    uint32_t fail(uint32_t status, uint32_t lineNumber = 0, const char *rule = nullptr) {
        open = nullptr;
        if (status == PROFILE_STATUS_TAMPERED && lineNumber != 0) {
            if (reservedKeyRefused)
                rule = "the section S-y-S-t-E-m holds only the keys FILENAME and NUMSECTION";
            if (rule != nullptr)
                profileSetDetail(file->contextIndex, "line %u: %s", lineNumber, rule);
        }
        return status;
    }

    uint32_t onHeader(const ProfileParseBuffers &parsed) {
        uint32_t status = closeSection();
        if (status != 0) return status;
        bool reserved = std::strcmp(parsed.sectionName, PROFILE_RESERVED_SECTION) == 0;
        // Only the first reserved section counts; a later one and its keys
        // are skipped.
        if (reserved && reservedMet) return 0;
        reservedMet = reservedMet || reserved;
        status =
            profileNewSection(collector, &file->arena, parsed.sectionName, parsed.version, &open);
        if (status != 0) return status;
        openIsReserved = reserved;
        sum = 0;
        return 0;
    }

    // A key line's name and value, by their lengths, and the checksum of
    // "name=value".
    uint32_t onKey(const char *name, size_t nameLength, const char *value, size_t valueLength,
                   uint32_t checksum) {
        if (open == nullptr) return 0; // before the first header, or in a skipped section
        if (openIsReserved) {
            // Its keys are for the reader's information and never stored.
            if (isName(name, nameLength, PROFILE_KEY_FILENAME) ||
                isName(name, nameLength, PROFILE_KEY_NUMSECTION))
                return 0;
            reservedKeyRefused = true;
            return profileFail(collector, PROFILE_STATUS_TAMPERED);
        }
        if (isName(name, nameLength, PROFILE_KEY_CSUM)) {
            uint32_t stored = parseStoredChecksum(value, valueLength);
            uint32_t status = profileSectionSetChecksumLine(collector, &file->arena, open, stored,
                                                            isChecksumNumber(value, valueLength)
                                                                ? PROFILE_CSUM_NUMBER
                                                                : PROFILE_CSUM_NOT_NUMBER);
            if (status != 0) return status;
            keysAtChecksum = profileSectionKeyCount(open);
            // The checksum over the keys read so far is the running sum.
            open->checksum = sum;
            // A stored checksum other than 0 gave the section a detail of
            // its own.
            if (stored != 0 && stored != open->checksum)
                profileSectionOwnedDetail(open)->damaged = 1; // never cleared while open
            return 0;
        }
        ProfileKey *key = nullptr;
        uint32_t status =
            profileNewKeyOf(collector, &file->arena, name, nameLength, value, valueLength, &key);
        if (status != 0) return status;
        status = profileAddKey(collector, &file->arena, open, key);
        if (status != 0) return status;
        sum += checksum;
        return 0;
    }

    static bool isName(const char *name, size_t length, const char *wanted) {
        return std::strlen(wanted) == length && std::memcmp(name, wanted, length) == 0;
    }
};

// The full way's key line.
uint32_t onParsedKey(LoadState &state, const ProfileParseBuffers &parsed) {
    size_t nameLength = std::strlen(parsed.keyName);
    size_t valueLength = std::strlen(parsed.value);
    return state.onKey(parsed.keyName, nameLength, parsed.value, valueLength,
                       profileKeyTextChecksum(parsed.keyName, nameLength, parsed.value, valueLength,
                                              state.transform));
}

// Splits a decoded line of `length` bytes, its line feed (if any) last, if
// it is a common key line; through the scan the decoding made of it, when
// given and whole.
bool splitDecoded(const char *plain, size_t length, ProfileKeySpan *key,
                  const ProfileLineScan *scan = nullptr) {
    if (length > 0 && plain[length - 1] == '\n') --length;
    return scan != nullptr ? profileSplitScannedKey(plain, length, *scan, key)
                           : profileSplitPlainKey(plain, length, key);
}

// Splits a whole line from the block, `length` bytes with its line feed, if
// it is a common key line: as it stands, or decoded into `plain` for a file
// opened with the decode flag (the built-in decoding straight from the
// block; a caller's decodeLine through `stored`, where the stored line gets
// its terminating zero).  Both buffers hold PROFILE_LINE_SIZE bytes.  False
// leaves the line to the full way.
bool splitKeyLine(const ProfileLibContext *context, const ProfileFile *file, const char *raw,
                  size_t length, char *stored, char *plain, ProfileKeySpan *key) {
    if ((file->openFlags & PROFILE_OPEN_FLAG_DECODE) == 0)
        return profileSplitPlainKey(raw, length - 1, key);
    if (context->decodeLine == defaultDecodeLine) {
        // The built-in decoding, from the block itself: a line it refuses
        // (a NUL byte in it too) goes the full way, which says why.
        size_t end = length - 1;
        if (end > 0 && raw[end - 1] == '\r') --end;
        size_t plainLength = 0;
        return lineCodecDecode(raw, end, plain, PROFILE_LINE_SIZE, context->transform,
                               &plainLength) == 0 &&
               splitDecoded(plain, plainLength, key);
    }
    // A stored line holding a NUL byte is refused by the full way.
    if (std::memchr(raw, '\0', length) != nullptr) return false;
    // As profileReadLine decodes: a caller's decodeLine gets a zeroed buffer.
    std::memcpy(stored, raw, length);
    stored[length] = '\0';
    std::memset(plain, 0, PROFILE_LINE_SIZE);
    context->decodeLine(stored, plain, PROFILE_LINE_SIZE, context->transform, file->user);
    plain[PROFILE_LINE_SIZE - 1] = '\0';
    return splitDecoded(plain, std::strlen(plain), key);
}

// The next line, `*length` bytes with its line feed, split if it lies whole
// in the block and is a common key line, as splitKeyLine does.  The built-in
// decoding finds the line's end as it decodes it, so the line is read once;
// when the line goes on past the block, profileBlockPeekLine reads on.
// False leaves the line to the full way; *decoded then says whether the
// built-in decoding has decoded it into `plain` already (a header, a "CSUM"
// line and the like), so that the full way need not read it again.  A line
// that may not be taken for a common key line (mayBeKey false: the line
// after a "CSUM" line) is only decoded.
bool splitNextKey(const ProfileLibContext *context, ProfileFile *file, char *stored, char *plain,
                  bool mayBeKey, ProfileKeySpan *key, size_t *length, bool *decoded) {
    *decoded = false;
    if ((file->openFlags & PROFILE_OPEN_FLAG_DECODE) != 0 &&
        context->decodeLine == defaultDecodeLine) {
        const char *bytes = nullptr;
        size_t available = 0;
        profileBlockPeekBytes(&file->reader, &bytes, &available);
        // No longer than the lines profileBlockPeekLine gives.
        if (available > PROFILE_LINE_SIZE - 1) available = PROFILE_LINE_SIZE - 1;
        size_t plainLength = 0;
        ProfileLineScan scan;
        uint32_t status = lineCodecDecodeNext(bytes, available, plain, PROFILE_LINE_SIZE,
                                              context->transform, length, &plainLength, &scan);
        if (*length != 0) {
            // A line it refuses (a NUL byte in it too) goes the full way,
            // which says why.
            *decoded = status == 0;
            return status == 0 && mayBeKey && splitDecoded(plain, plainLength, key, &scan);
        }
    }
    if (!mayBeKey) return false;
    if ((file->openFlags & PROFILE_OPEN_FLAG_DECODE) == 0) {
        // A plain line found and scanned in one pass where the processor
        // allows; one going on past the block goes through
        // profileBlockPeekLine, which reads on.
        const char *bytes = nullptr;
        size_t available = 0;
        profileBlockPeekBytes(&file->reader, &bytes, &available);
        if (available > PROFILE_LINE_SIZE - 1) available = PROFILE_LINE_SIZE - 1;
        ProfileLineScan scan;
        if (profileScanPlainLine(bytes, available, length, &scan))
            return profileSplitScannedKey(bytes, *length - 1, scan, key);
    }
    const char *raw = nullptr;
    return profileBlockPeekLine(&file->reader, file->stream, PROFILE_LINE_SIZE, &raw, length) &&
           splitKeyLine(context, file, raw, *length, stored, plain, key);
}

// The end of profileReadLine, for a line read (and decoded) into buffer.
ProfileReadResult finishLine(const ProfileLibContext *context, const ProfileFile *file,
                             char *buffer) {
    // A stored file opened for update refuses such a line rather than lose
    // its rest at close; read-only opens read it as one line.
    if (context->ioMode == PROFILE_IO_STREAM && file->openMode == PROFILE_OPEN_UPDATE &&
        (file->openFlags & PROFILE_OPEN_FLAG_KEEP_RETURNS) == 0 &&
        std::strchr(buffer, '\r') != nullptr && textAfterCarriageReturn(buffer))
        return PROFILE_READ_TAMPERED; // the line stays in the buffer: the load says why
    size_t length = std::strlen(buffer);
    if (length > 0 && buffer[length - 1] == '\n') buffer[length - 1] = '\0';
    normalizeBlanks(buffer);
    return PROFILE_READ_LINE;
}

} // namespace

ProfileReadResult profileReadLine(ErrCollector *, ProfileFile *file, char *buffer,
                                  size_t capacity) {
    ProfileLibContext *context = profileFileContext(file);
    if (buffer == nullptr || capacity == 0) return PROFILE_READ_UNDECODABLE;
    if (capacity > PROFILE_LINE_SIZE) capacity = PROFILE_LINE_SIZE;
    // A caller's line functions get zeroed buffers, as they may rely on
    // them; the library's own always leave a terminated text (or an empty
    // one), so for them a leading zero does the same job at a fraction of
    // the cost per line.
    if (context == nullptr || context->readLine != defaultReadLine)
        std::memset(buffer, 0, capacity);
    else
        buffer[0] = '\0';
    if (context == nullptr) return PROFILE_READ_UNDECODABLE;
    auto cap = static_cast<uint32_t>(capacity);
    uint32_t read = context->ioMode == PROFILE_IO_STREAM && file->lineByLine == 0
                        ? profileBlockReadLine(&file->reader, file->stream, buffer, cap)
                        : context->readLine(buffer, cap, file->stream, file->user);
    // The library's own reader says when a line holds a NUL byte; the
    // statuses of a caller's readLine are not looked at.
    if (context->ioMode != PROFILE_IO_CALLER && read == PROFILE_STATUS_TAMPERED)
        return PROFILE_READ_TAMPERED;
    buffer[capacity - 1] = '\0';
    if (buffer[0] == '\0') return PROFILE_READ_END;
    if (file->openFlags & PROFILE_OPEN_FLAG_DECODE) {
        char plain[PROFILE_LINE_SIZE];
        if (context->decodeLine != defaultDecodeLine)
            std::memset(plain, 0, capacity);
        else
            plain[0] = '\0';
        context->decodeLine(buffer, plain, cap, context->transform, file->user);
        plain[capacity - 1] = '\0';
        if (plain[0] == '\0') return PROFILE_READ_UNDECODABLE;
        std::memcpy(buffer, plain, std::strlen(plain) + 1);
    }
    return finishLine(context, file, buffer);
}

uint32_t profileLoad(ErrCollector *collector, ProfileFile *file) {
    ProfileLibContext *context = profileFileContext(file);
    if (context == nullptr || file->sections == nullptr)
        return profileFail(collector, PROFILE_STATUS_BAD_PARAMS);
    LoadState state{collector, file, context->transform};
    // The records are sized from the file: a large one gets its storage in
    // one piece, brought in at once.
    if (context->ioMode == PROFILE_IO_STREAM && file->arena.blocks == nullptr)
        file->arena.sizeHint = profileStreamRemaining(file->stream);
    ProfileParseBuffers parsed{};
    char line[PROFILE_LINE_SIZE];
    // Lines read in blocks mostly never leave the block: the common key
    // line is split where it stands (profileSplitPlainKey), or where it was
    // decoded to, and only the others go the full way (profileReadLine and
    // profileParseLine), which reads them again.  Chosen for speed; both
    // ways give the same sections, keys and statuses.
    const bool splitInBlock = context->ioMode == PROFILE_IO_STREAM && file->lineByLine == 0;
    char plain[PROFILE_LINE_SIZE];
    // After a "CSUM" key line, a line that begins with "L" and a digit is
    // read under other rules: that line always goes the full way.
    bool afterChecksumLine = false;
    uint32_t lineNumber = 1; // of the line being read
    ProfileReadResult read = PROFILE_READ_END;
    for (;; ++lineNumber) {
        size_t rawLength = 0;
        ProfileKeySpan key{};
        bool decoded = false;
        if (splitInBlock && splitNextKey(context, file, line, plain, !afterChecksumLine, &key,
                                         &rawLength, &decoded)) {
            profileBlockSkipLine(&file->reader, rawLength);
            const char *end = key.value + key.valueLength;
            uint32_t checksum =
                key.oneSign ? profileTextChecksum(key.name, static_cast<size_t>(end - key.name),
                                                  state.transform)
                            : profileKeyTextChecksum(key.name, key.nameLength, key.value,
                                                     key.valueLength, state.transform);
            uint32_t status =
                state.onKey(key.name, key.nameLength, key.value, key.valueLength, checksum);
            if (status != 0) return state.fail(status, lineNumber);
            continue;
        }
        if (decoded) {
            // Decoded on the way already: the full way goes on from its
            // plain line, as profileReadLine would have decoded it.
            profileBlockSkipLine(&file->reader, rawLength);
            std::memcpy(line, plain, std::strlen(plain) + 1);
            read = finishLine(context, file, line);
        } else {
            read = profileReadLine(collector, file, line, sizeof line);
        }
        if (read != PROFILE_READ_LINE) break;
        ProfileLineKind kind = PROFILE_LINE_OTHER;
        uint32_t status = profileParseLine(collector, line, &kind, &parsed);
        if (status != 0) {
            char scratch[96];
            return state.fail(status, lineNumber, refusedRule(line, scratch));
        }
        if (kind == PROFILE_LINE_SECTION) status = state.onHeader(parsed);
        if (status == 0 && kind == PROFILE_LINE_KEY) status = onParsedKey(state, parsed);
        if (status != 0) return state.fail(status, lineNumber);
        afterChecksumLine = std::strcmp(parsed.keyName, PROFILE_KEY_CSUM) == 0;
    }
    if (read == PROFILE_READ_UNDECODABLE) file->loadEndedAtLine = lineNumber;
    file->linesRead = lineNumber - 1;
    // A line that cannot be decoded ends the load there.  For a stored file
    // opened for update, the rewrite at close would then drop everything
    // from that line on (a plain file opened with the decode flag would be
    // emptied), so it is refused as tampered instead and stays as it is.
    // Caller line functions decide themselves where a save goes.  A line
    // holding a NUL byte (the library's own reader says so) is refused in
    // every open mode: as text the line ends at that byte.
    bool storedFileRewritten =
        context->ioMode == PROFILE_IO_STREAM && file->openMode == PROFILE_OPEN_UPDATE;
    if (read == PROFILE_READ_UNDECODABLE && storedFileRewritten)
        return state.fail(profileFail(collector, PROFILE_STATUS_TAMPERED), lineNumber,
                          "the line cannot be decoded, and an update would drop it and "
                          "every line after it");
    if (read == PROFILE_READ_TAMPERED)
        return state.fail(profileFail(collector, PROFILE_STATUS_TAMPERED), lineNumber,
                          storedFileRewritten && textAfterCarriageReturn(line)
                              ? "a carriage return with text after it inside the line, "
                                "which an update would not keep"
                              : "the line holds a NUL byte");
    // A stream that failed mid-way is not the end of the file: loading what
    // came before and rewriting it at close would lose the rest.  (A stream
    // opened only for writing, open mode 2, has nothing to read.)
    if (read == PROFILE_READ_END && context->ioMode != PROFILE_IO_CALLER &&
        file->stream != nullptr && file->openMode != PROFILE_OPEN_WRITE &&
        std::ferror(file->stream)) {
        profileSetDetail(file->contextIndex, "line %u: reading the file failed there", lineNumber);
        return state.fail(profileFail(collector, PROFILE_STATUS_CANNOT_OPEN));
    }
    return state.closeSection();
}
