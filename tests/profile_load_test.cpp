// Loading profile files: sections and keys, the reserved section, the
// "CSUM" check, the end of the data, and the statuses of a failed load.
#include "platform/fault.h"
#include "profile/checksum.h"
#include "profile/linecodec.h"
#include "profile/loadsave.h"
#include "support/fixtures.h"
#include "support/profile_io.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

std::string checksumLine(uint32_t sum) {
    return "CSUM = " + std::to_string(static_cast<int32_t>(sum)) + "\n";
}
uint32_t keySum(const char *keyValue) {
    return profileLineChecksum(keyValue, PROFILE_DEFAULT_TRANSFORM);
}

struct LoadTest : testing::Test {
    TestContext ctx{PROFILE_IO_CALLER};
    void TearDown() override { platFaultReset(); }

    // Loads content; returns describe() of the file, or "status N".
    std::string load(const std::string &content, uint32_t flags = 0) {
        MemoryFile m{content};
        uint32_t status = 0;
        ProfileFile *file = openMemory(ctx, m, &status, PROFILE_OPEN_READ, flags);
        if (status != 0) return "status " + std::to_string(status);
        std::string d = describe(file);
        EXPECT_EQ(profileCloseFile(&file, 0, m.user()), 0u);
        return d;
    }
};

TEST_F(LoadTest, SectionsAndKeysInFileOrder) {
    struct Case {
        const char *content;
        const char *expected;
    } cases[] = {
        {"", ""},
        {"\n \n\t\n", ""},
        {"free text\n", ""},
        {"[Main]\na = x", "Main/*{a=x}"}, // no final line feed
        {"x = 1\n[Main 1.0]\na = x\n", "Main/1.0{a=x}"},
        {"[A 1]\nk = 1\nk = 2\n[A 1]\nk = 3\n", "A/1{k=1,k=2} A/1{k=3}"},
        {"[]\na = b\n", "/*{a=b}"},
        {"[Main 1 0]\n  a   =\tb  c  \n", "Main/10{a=b c}"},
        {"[S-y-S-t-E-m 1]\nFILENAME = x\nNUMSECTION = 9\n[Main]\na = b\n"
         "[S-y-S-t-E-m 2]\nfoo = bar\n[B]\n",
         "S-y-S-t-E-m/1{} Main/*{a=b} B/*{}"},
        {"[Main]\na = 1\nCSUM = 0\nb = 2\n", "Main/*{a=1,b=2}"},
        {"[Main]\na = x<y\n", "status 8"},
        {"[Main]\na =\n", "status 8"},
        {"[S-y-S-t-E-m 1]\nfoo = x\n", "status 8"},
        {"[S-y-S-t-E-m 1]\nCSUM = 5\n", "status 8"},
        {"[Main]\na = 1\n[Broken\n", "status 8"},
    };
    for (const Case &c : cases) EXPECT_EQ(load(c.content), c.expected) << c.content;
}

TEST_F(LoadTest, LineAfterChecksumLineStartingWithLAndDigitIsExempt) {
    std::string csum = checksumLine(keySum("a=1"));
    EXPECT_EQ(load("[M]\na = 1\n" + csum + "L1 = x<y>#[z]\n"), "M/*{a=1,L1=x<y>#[z]}");
    EXPECT_EQ(load("[M]\na = 1\n" + csum + "L1 free <text>\nb = 2\n"), "M/*{a=1,b=2}");
    // Only the first key line after it: the key buffer then holds "L1".
    EXPECT_EQ(load("[M]\na = 1\n" + csum + "L1 = x\nL2 = y<\n"), "status 8");
}

TEST_F(LoadTest, ChecksumLineSetsStoredValueAndDamage) {
    // A section whose checksum has bit 31 set, written as a negative number.
    std::string big = "[M]\n";
    uint32_t bigSum = 0;
    for (int i = 0; bigSum < 0x80000000u && i < 1000; ++i) {
        std::string key = "k" + std::to_string(i), value(1000, '~');
        big += key + " = " + value + "\n";
        bigSum += keySum((key + "=" + value).c_str());
    }
    ASSERT_GE(bigSum, 0x80000000u);
    uint32_t aSum = keySum("a=1");
    uint32_t bSum = keySum("b=2");
    struct Case {
        std::string content;
        uint32_t damaged, stored, computed;
    } cases[] = {
        {"[M]\na = 1\n" + checksumLine(aSum), 0, aSum, aSum},
        {big + checksumLine(bigSum), 0, bigSum, bigSum},
        {"[M]\na = 1\nCSUM = 12345\n", 1, 12345, aSum},
        {"[M]\na = 1\nCSUM = 0\n", 0, 0, aSum},
        {"[M]\na = 1\nCSUM = abc\n", 0, 0, aSum},
        {"[M]\na = 1\nCSUM = 99999999999\n", 1, 0x7FFFFFFFu, aSum},
        // The check covers the keys before the line; the computed checksum
        // all of them.  Damage is never cleared.
        {"[M]\na = 1\n" + checksumLine(aSum) + "b = 2\n", 0, aSum, aSum + bSum},
        {"[M]\nCSUM = 7\na = 1\n" + checksumLine(aSum), 1, aSum, aSum},
        {"[M]\na = 1\n", 0, 0, aSum},
    };
    for (const Case &c : cases) {
        MemoryFile m{c.content};
        uint32_t status = 0;
        ProfileFile *file = openMemory(ctx, m, &status, PROFILE_OPEN_READ);
        ASSERT_EQ(status, 0u) << c.content;
        ProfileSectionInfo info{};
        ASSERT_EQ(profileFindSection(file, "M", "*", &info), 0u);
        EXPECT_EQ(info.damaged, c.damaged) << c.content;
        EXPECT_EQ(info.storedChecksum, c.stored) << c.content;
        EXPECT_EQ(info.checksum, c.computed) << c.content;
        ASSERT_EQ(profileCloseFile(&file, 0, m.user()), 0u);
    }
}

// Sections without keys share their detail record, with or without a
// "CSUM" line reading 0 (as a save with checksums writes them); a key or any
// other "CSUM" line gives the section its own, which keeps what the shared
// one said.
TEST_F(LoadTest, SectionsWithoutKeysShareTheirDetail) {
    uint32_t aSum = keySum("a=1");
    struct Case {
        std::string content;
        bool shared;
        uint32_t line, keysAfter, damaged, stored, computed;
    } cases[] = {
        {"[M]\n", true, PROFILE_CSUM_NONE, 0, 0, 0, 0},
        {"[M]\nCSUM = 0\n", true, PROFILE_CSUM_NUMBER, 0, 0, 0, 0},
        {"[M]\nCSUM = -00\nCSUM = 0\n", true, PROFILE_CSUM_NUMBER, 0, 0, 0, 0},
        {"[M]\nCSUM = 0\na = 1\n", false, PROFILE_CSUM_NUMBER, 1, 0, 0, aSum},
        {"[M]\nCSUM = x\n", false, PROFILE_CSUM_NOT_NUMBER, 0, 0, 0, 0},
        {"[M]\nCSUM = 0\nCSUM = 7\n", false, PROFILE_CSUM_NUMBER, 0, 1, 7, 0},
        {"[M]\nCSUM = 7\nCSUM = 0\n", false, PROFILE_CSUM_NUMBER, 0, 1, 0, 0},
    };
    for (const Case &c : cases) {
        MemoryFile m{c.content};
        uint32_t status = 0;
        ProfileFile *file = openMemory(ctx, m, &status, PROFILE_OPEN_READ);
        ASSERT_EQ(status, 0u) << c.content;
        ProfileSection *section = nullptr;
        ASSERT_EQ(profileSearchSection(ctx.collector(), file, "M", "*", &section), 0u);
        const ProfileSectionDetail *detail = profileSectionDetail(section);
        EXPECT_EQ(profileSectionSharesDetail(section), c.shared) << c.content;
        EXPECT_EQ(detail->checksumLine, c.line) << c.content;
        EXPECT_EQ(detail->keysAfterChecksum, c.keysAfter) << c.content;
        EXPECT_EQ(detail->damaged, c.damaged) << c.content;
        EXPECT_EQ(detail->storedChecksum, c.stored) << c.content;
        EXPECT_EQ(section->checksum, c.computed) << c.content;
        ASSERT_EQ(profileCloseFile(&file, 0, m.user()), 0u);
    }
    EXPECT_EQ(profileNoDetail.checksumLine, PROFILE_CSUM_NONE);
    EXPECT_EQ(profileNoDetailZeroSum.keys.count, 0);
    EXPECT_EQ(profileNoDetailZeroSum.storedChecksum, 0u);
}

// Decodes "ok:" lines to the rest of the line; any other line to nothing.
uint32_t prefixDecode(const char *stored, char *out, uint32_t capacity, uint32_t, uint64_t) {
    if (std::strncmp(stored, "ok:", 3) == 0) std::snprintf(out, capacity, "%s", stored + 3);
    return 0;
}

TEST(LoadDecode, LineThatDecodesToNothingEndsTheLoadWithoutFailure) {
    TestContext ctx{PROFILE_IO_CALLER, nullptr, prefixDecode, 77};
    auto load = [&](const std::string &content) {
        MemoryFile m{content};
        uint32_t status = 0;
        ProfileFile *file = openMemory(ctx, m, &status, PROFILE_OPEN_READ, 1);
        if (status != 0) return "status " + std::to_string(status);
        std::string d = describe(file);
        profileCloseFile(&file, 0, m.user());
        return d;
    };
    EXPECT_EQ(load("garbage\nok:[A]\n"), "");
    EXPECT_EQ(load("ok:[A]\nok:a = 1\nbad\nok:[B]\n"), "A/*{a=1}");
    EXPECT_EQ(ctx.texts(), "");
    // Without the open flag nothing is decoded.
    MemoryFile m{"ok:a = 1\n[B]\n"};
    uint32_t status = 0;
    ProfileFile *file = openMemory(ctx, m, &status, PROFILE_OPEN_READ, 0);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(describe(file), "B/*{}");
    profileCloseFile(&file, 0, m.user());
}

TEST(LoadReadLine, ReturnsPlainNormalisedLines) {
    TestContext ctx{PROFILE_IO_CALLER};
    MemoryFile m{"  a  =  b \r\n\n"};
    uint32_t status = 0;
    ProfileFile *file = openMemory(ctx, m, &status, PROFILE_OPEN_READ);
    ASSERT_EQ(status, 0u);
    m.input = "  a  =  b \r\n\nlast";
    m.pos = 0;
    char line[PROFILE_LINE_SIZE];
    EXPECT_EQ(profileReadLine(ctx.collector(), file, line, sizeof line), PROFILE_READ_LINE);
    EXPECT_STREQ(line, "a = b");
    EXPECT_EQ(profileReadLine(ctx.collector(), file, line, sizeof line), PROFILE_READ_LINE);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(profileReadLine(ctx.collector(), file, line, sizeof line), PROFILE_READ_LINE);
    EXPECT_STREQ(line, "last");
    EXPECT_EQ(profileReadLine(ctx.collector(), file, line, sizeof line), PROFILE_READ_END);
    EXPECT_STREQ(line, "");
    profileCloseFile(&file, 0, m.user());
}

TEST(LoadFromDisk, CrLfAndMissingFinalLineFeedLoadLikeLf) {
    TestContext ctx{PROFILE_IO_STREAM};
    ScratchDir dir;
    const char *variants[] = {
        "[Main 1]\na = x y\nb = 2\n",
        "[Main 1]\r\na = x y\r\nb = 2\r\n",
        "[Main 1]\na = x y\nb = 2",
    };
    for (const char *content : variants) {
        std::string path = dir.file("p.ini");
        ASSERT_TRUE(writeFile(path, content));
        ProfileFile *file = nullptr;
        ASSERT_EQ(profileOpenFile(ctx.index, path.c_str(), PROFILE_OPEN_READ, &file, 0, 0), 0u);
        EXPECT_EQ(describe(file), "Main/1{a=x y,b=2}") << content;
        EXPECT_EQ(profileCloseFile(&file, 0, 0), 0u);
    }
}

TEST(LoadFromDisk, FailedReadIsNotTheEndOfTheFile) {
    // A stream that fails part way must not pass for a shorter file: an
    // "r+" file would then be rewritten without its rest.  A folder opened
    // as a file is a stream whose every read fails (where it opens at all).
    TestContext ctx{PROFILE_IO_STREAM};
    ScratchDir dir;
    ProfileFile *file = nullptr;
    uint32_t status =
        profileOpenFile(ctx.index, dir.path().c_str(), PROFILE_OPEN_READ, &file, 0, 0);
    EXPECT_NE(status, 0u);
    EXPECT_EQ(file, nullptr);
    EXPECT_TRUE(status == PROFILE_STATUS_CANNOT_OPEN || status == PROFILE_STATUS_FILE_NOT_FOUND)
        << status;
}

// Loads the file with the block reader, or with the context's line-by-line
// reader that it stands in for; "status N" and the texts recorded, then
// describeWithChecksums().
std::string loadWithReader(const std::string &path, bool lineByLine, uint32_t flags = 0) {
    TestContext ctx{PROFILE_IO_STREAM}; // with a collector of its own
    ErrCollector *collector = ctx.collector();
    ProfileFile *file = nullptr;
    EXPECT_EQ(profileNewFile(collector, &file), 0u);
    if (file == nullptr) return "no file";
    file->contextIndex = ctx.index;
    file->openMode = PROFILE_OPEN_READ;
    file->openFlags = flags;
    file->lineByLine = lineByLine ? 1 : 0;
    file->stream = std::fopen(path.c_str(), "rb");
    EXPECT_NE(file->stream, nullptr);
    if (file->stream == nullptr) return "no stream";
    if (!lineByLine) std::setvbuf(file->stream, nullptr, _IONBF, 0); // as an open makes it
    std::string out = "status " + std::to_string(profileLoad(collector, file)) + "\n";
    for (int32_t i = 0; i < collector->count; ++i)
        out += std::string(errCollectorText(collector, i)) + '\n';
    out += "ended at " + std::to_string(file->loadEndedAtLine) + "\n" + describeWithChecksums(file);
    std::fclose(file->stream);
    file->stream = nullptr;
    EXPECT_EQ(profileFreeFile(collector, file), 0u);
    return out;
}

TEST(LoadFromDisk, BlockReaderLoadsLargeFilesAsLineByLine) {
    // Far more than one block of lines of every length, so that lines fall
    // across blocks, lines reach and pass the longest one read whole, and
    // every kind of line that the split in the block leaves to the full way
    // comes between the common ones.
    ScratchDir dir;
    std::mt19937 rng(11);
    std::string content = "[Main 1]\n";
    const char *others[] = {"[Next 2]\n",   "a\t= tab\n", "b  =  doubled\n", " c = lead\n",
                            "d = crlf\r\n", "CSUM = 5\n", "L1 continues\n",  "free text\n",
                            "\n",           "CSUM = 0\n"};
    for (int line = 0; content.size() < 300000; ++line) {
        if (line % 7 == 3) {
            content += others[rng() % (sizeof others / sizeof others[0])];
            continue;
        }
        size_t length = rng() % 9 == 0 ? 4400 + rng() % 300 : rng() % 200;
        std::string value(length + 1, 'v');
        for (char &c : value)
            if (rng() % 6 == 0) c = ' ';
        value.front() = value.back() = 'v';
        content += "k" + std::to_string(line) + " = " + value + "\n";
    }
    std::string path = dir.file("large.ini");
    for (const std::string &ending :
         {std::string(), std::string("last = no line feed"), std::string("nul = a\0b\n", 10)}) {
        ASSERT_TRUE(writeFile(path, content + ending));
        std::string byBlocks = loadWithReader(path, false);
        EXPECT_EQ(byBlocks, loadWithReader(path, true)) << ending;
        EXPECT_NE(byBlocks.find("Next/2"), std::string::npos);
    }
    // Encoded, each line decoded before it is split; a line that does not
    // decode ends the load.
    std::string encoded;
    for (size_t at = 0; at < content.size();) {
        size_t end = content.find('\n', at) + 1;
        char stored[PROFILE_ENCODE_SIZE]; // as a save encodes
        // Lines too long for a stored form are left out.
        if (defaultEncodeLine(content.substr(at, end - at).c_str(), stored, sizeof stored,
                              PROFILE_DEFAULT_TRANSFORM, 0) == 0)
            encoded += stored;
        at = end;
    }
    for (const std::string &ending : {std::string(), std::string("not encoded = x\n")}) {
        ASSERT_TRUE(writeFile(path, encoded + ending));
        std::string byBlocks = loadWithReader(path, false, PROFILE_OPEN_FLAG_DECODE);
        EXPECT_EQ(byBlocks, loadWithReader(path, true, PROFILE_OPEN_FLAG_DECODE)) << ending;
        EXPECT_NE(byBlocks.find("Next/2"), std::string::npos) << byBlocks.substr(0, 300);
    }
}

// The stored form of each plain line of content, as a save encodes it.
std::string encodeLines(const std::string &content) {
    std::string encoded;
    for (size_t at = 0; at < content.size();) {
        size_t end = content.find('\n', at) + 1;
        char stored[PROFILE_ENCODE_SIZE];
        EXPECT_EQ(defaultEncodeLine(content.substr(at, end - at).c_str(), stored, sizeof stored,
                                    PROFILE_DEFAULT_TRANSFORM, 0),
                  0u);
        encoded += stored;
        at = end;
    }
    return encoded;
}

size_t lineCount(const std::string &content) {
    return static_cast<size_t>(std::count(content.begin(), content.end(), '\n'));
}

TEST(LoadFromDisk, EncodedLinesDecodedInTheBlockLoadAsLineByLine) {
    // The block reader decodes and splits lines where they stand in its
    // block; lines it leaves to the full way, and the block read on under
    // them, must leave the sections, the statuses and the line a failed
    // load ended at as the line-by-line reader gives them.
    ScratchDir dir;
    std::string keys; // short key lines, many to a block
    for (int i = 0; i < 300; ++i)
        keys += "k" + std::to_string(i) + " = v" + std::to_string(i) + "\n";
    std::string longKeys; // long lines, few to a block
    for (int i = 0; i < 12; ++i)
        longKeys += "l" + std::to_string(i) + " = " + std::string(4000, 'x') + "\n";
    const std::string head = encodeLines("[Main 1]\na = 1\nb = 2\n");
    const std::string tail = encodeLines("c = 3\n[Next 2]\nd = 4\n");
    std::string edited = encodeLines("e = 5\n");
    edited[edited.size() / 2] ^= 1; // the check fails
    // Stored lines up to the first block's end, where the line of `last`
    // has `inBlock` of its bytes.
    const std::string last = encodeLines("q = " + std::string(400, 'q') + "\n");
    auto acrossBlockEnd = [&](size_t inBlock) {
        std::string lines = head;
        for (int i = 0; lines.size() < PROFILE_STREAM_BUFFER_SIZE - 1000; ++i)
            lines += encodeLines("p" + std::to_string(i) + " = " + std::string(40, 'p') + "\n");
        // A stored line of ASCII text is 6 bytes longer than the plain one.
        size_t fill = PROFILE_STREAM_BUFFER_SIZE - lines.size() - inBlock;
        std::string filler = encodeLines("r = " + std::string(fill - 6 - 5, 'r') + "\n");
        EXPECT_EQ(lines.size() + filler.size() + inBlock, PROFILE_STREAM_BUFFER_SIZE);
        return lines + filler + last;
    };
    struct Case {
        const char *what;
        std::string content;
        std::string expected; // in the result, besides its being the line-by-line one
    } cases[] = {
        {"a refused line among decoded ones", head + edited + tail, "ended at 4\n"},
        {"a line that is not encoded in the middle", head + "f = 6\n" + tail, "ended at 4"},
        {"a line holding a NUL byte in the middle", head + std::string("\0x\n", 3) + tail,
         "status 8"},
        {"a \"CSUM\" line followed by an \"L\" and a digit",
         head + encodeLines("CSUM = 0\nL1 = <free>\ng = 7\n") + tail, "L1=<free>"},
        {"a header and a carriage return among key lines",
         head + encodeLines("[Mid 3]\nh = 8\r\n") + tail, "Mid/3{h=8,c=3}"},
        {"many short lines", head + encodeLines(keys) + tail, "k299=v299"},
        {"many long lines", head + encodeLines(longKeys) + tail, "l11="},
        {"a line cut at the block's end", acrossBlockEnd(300) + tail, "Next/2"},
        {"a line cut in its check characters", acrossBlockEnd(2) + tail, "Next/2"},
        {"a line cut before its line feed", acrossBlockEnd(last.size() - 1) + tail, "Next/2"},
        {"a line ending at the block's end", acrossBlockEnd(last.size()) + tail, "Next/2"},
        {"a refused line after the block was read on", acrossBlockEnd(300) + edited + tail,
         "ended at " + std::to_string(lineCount(acrossBlockEnd(300)) + 1) + "\n"},
    };
    std::string path = dir.file("encoded.ini");
    for (const Case &c : cases) {
        ASSERT_TRUE(writeFile(path, c.content));
        std::string byBlocks = loadWithReader(path, false, PROFILE_OPEN_FLAG_DECODE);
        EXPECT_EQ(byBlocks, loadWithReader(path, true, PROFILE_OPEN_FLAG_DECODE)) << c.what;
        EXPECT_NE(byBlocks.find(c.expected), std::string::npos) << c.what << "\n"
                                                                << byBlocks.substr(0, 400);
    }
}

} // namespace
