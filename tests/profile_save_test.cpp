// Saving profile files: the layout, the save flags, the reserved section,
// the "FILENAME" value, and what a failed line step does.
#include "platform/fault.h"
#include "profile/checksum.h"
#include "profile/loadsave.h"
#include "support/fixtures.h"
#include "support/profile_io.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>

namespace {

uint32_t keySum(const std::string &keyValue) {
    return profileLineChecksum(keyValue.c_str(), PROFILE_DEFAULT_TRANSFORM);
}
std::string checksumLine(uint32_t sum) {
    return "CSUM = " + std::to_string(static_cast<int32_t>(sum)) + "\n";
}

struct SaveTest : testing::Test {
    TestContext ctx{PROFILE_IO_CALLER};
    void TearDown() override { platFaultReset(); }

    // Loads content, lets `edit` change the file, and saves it with flags.
    template <class Edit = void (*)(ProfileFile *)>
    std::string resave(
        const std::string &content, uint32_t flags, Edit edit = [](ProfileFile *) {},
        const char *path = "mem/p.ini") {
        MemoryFile m{content};
        uint32_t status = 0;
        ProfileFile *file = openMemory(ctx, m, &status, PROFILE_OPEN_UPDATE, 0, path);
        EXPECT_EQ(status, 0u) << content;
        if (file == nullptr) return "open failed";
        edit(file);
        MemoryFile out;
        EXPECT_EQ(profileCloseFile(&file, flags, out.user()), 0u);
        return out.output;
    }

    // Loads content and returns describe() of its ordinary sections.
    std::string reload(const std::string &content) {
        MemoryFile m{content};
        uint32_t status = 0;
        ProfileFile *file = openMemory(ctx, m, &status, PROFILE_OPEN_READ);
        if (status != 0) return "status " + std::to_string(status);
        std::string d = describe(file, false);
        profileCloseFile(&file, 0, MemoryFile{}.user());
        return d;
    }
};

TEST_F(SaveTest, LayoutWithAndWithoutChecksumLines) {
    std::string in = "[Main 1.0]\na = x\nb = y\n[Empty]\n";
    std::string head = "[S-y-S-t-E-m 1]\nFILENAME = mem/p.ini\nNUMSECTION = 2\n";
    EXPECT_EQ(resave(in, 0), head + "\n[Main 1.0]\na = x\nb = y\n\n[Empty *]\n");
    EXPECT_EQ(resave(in, PROFILE_SAVE_CHECKSUMS), head + "\n[Main 1.0]\na = x\nb = y\n" +
                                                      checksumLine(keySum("a=x") + keySum("b=y")) +
                                                      "\n[Empty *]\nCSUM = 0\n");
}

TEST_F(SaveTest, DamagedSectionKeepsItsStoredChecksumUntilRefreshed) {
    std::string in = "[M]\na = 1\nCSUM = 5\n";
    std::string kept = resave(in, PROFILE_SAVE_CHECKSUMS);
    EXPECT_NE(kept.find("a = 1\nCSUM = 5\n"), std::string::npos) << kept;
    EXPECT_EQ(reload(kept), "M/*!{a=1}");
    std::string refreshed = resave(in, PROFILE_SAVE_CHECKSUMS | PROFILE_SAVE_REFRESH);
    EXPECT_NE(refreshed.find("a = 1\n" + checksumLine(keySum("a=1"))), std::string::npos);
    EXPECT_EQ(reload(refreshed), "M/*{a=1}");
    // Without checksum lines nothing reads back damaged.
    EXPECT_EQ(reload(resave(in, 0)), "M/*{a=1}");
}

TEST_F(SaveTest, DamageSurvivesWhenTheLastChecksumLineAgreed) {
    // Damaged by its first "CSUM" line, the section's last one agrees with
    // its keys (or is 0): written back as it is, it would read back sound.
    std::string agree = checksumLine(keySum("a=1"));
    for (std::string in : {"[M]\na = 1\nCSUM = 5\n" + agree, "[M]\nCSUM = 5\na = 1\n" + agree,
                           std::string("[M]\na = 1\nCSUM = 5\nCSUM = 0\n")}) {
        ASSERT_EQ(reload(in), "M/*!{a=1}") << in;
        std::string out = resave(in, PROFILE_SAVE_CHECKSUMS);
        EXPECT_EQ(reload(out), "M/*!{a=1}") << out;
        EXPECT_EQ(reload(resave(in, PROFILE_SAVE_CHECKSUMS | PROFILE_SAVE_REFRESH)), "M/*{a=1}");
    }
}

TEST_F(SaveTest, ReservedSectionIsFirstSingleAndCountsTheTrueNumber) {
    std::string in = "[A]\n[S-y-S-t-E-m 1]\nFILENAME = elsewhere\nNUMSECTION = 7\n[B]\n";
    std::string out = resave(in, 0, [](ProfileFile *file) {
        ProfileSectionInfo info;
        ASSERT_EQ(profileCreateSection(file, "S-y-S-t-E-m", "2", &info), 0u);
        ASSERT_EQ(profileCreateSection(file, "C", "", &info), 0u);
    });
    EXPECT_EQ(out, "[S-y-S-t-E-m 1]\nFILENAME = mem/p.ini\nNUMSECTION = 3\n"
                   "\n[A *]\n\n[B *]\n\n[C ]\n");
    EXPECT_EQ(reload(out), "A/*{} B/*{} C/*{}");
}

TEST_F(SaveTest, EmptySectionNameIsWrittenSoThatItReadsBack) {
    std::string out = resave("[]\na = b\n[ ]\n", PROFILE_SAVE_CHECKSUMS);
    EXPECT_NE(out.find("\n[]\na = b\n"), std::string::npos) << out;
    EXPECT_EQ(reload(out), "/*{a=b} /*{}");
}

TEST_F(SaveTest, VersionHoldingBracketReadsBack) {
    // A "]" after whitespace is part of the version: "b]c", "x]".
    std::string out = resave("[A b ]c]\n[B x ]]\n", 0);
    EXPECT_NE(out.find("\n[A b ]c]\n\n[B x ]]\n"), std::string::npos) << out;
    EXPECT_EQ(reload(out), "A/b]c{} B/x]{}");
}

TEST_F(SaveTest, ExemptKeyAfterChecksumLineReadsBack) {
    // "L1 = x<y>" loads only as the first key line after a "CSUM" line; the
    // writer gives it one ("CSUM = 0", never compared) wherever it lands.
    std::string in = "[M]\na = 1\n" + checksumLine(keySum("a=1")) + "L1 = x<y>#[z]\nb = 2\n";
    ASSERT_EQ(reload(in), "M/*{a=1,L1=x<y>#[z],b=2}");
    for (uint32_t flags : {0u, PROFILE_SAVE_CHECKSUMS}) {
        std::string out = resave(in, flags);
        EXPECT_NE(out.find("a = 1\nCSUM = 0\nL1 = x<y>#[z]\nb = 2\n"), std::string::npos) << out;
        EXPECT_EQ(reload(out), "M/*{a=1,L1=x<y>#[z],b=2}") << out;
    }
    // An exempt key that needs no exemption is written plainly.
    std::string plain = "[M]\na = 1\nCSUM = 0\nL2 = ok\n";
    EXPECT_EQ(resave(plain, 0).find("CSUM"), std::string::npos);
}

TEST_F(SaveTest, FilenameValueAlwaysReadsBack) {
    struct Case {
        const char *path;
        const char *written;
    } cases[] = {
        {"dir/p.ini", "dir/p.ini"},
        {"a<b>c#d@e?f[g]h", "a_b_c_d_e_f_g_h"},
        {"tab\there\x01\x7f", "tab_here__"},
        {"C:\\Program Files\\p.ini", "C:\\Program Files\\p.ini"},
        {"d\xC3\xA9j\xC3\xA0.ini", "d\xC3\xA9j\xC3\xA0.ini"},
        {"   ", "_"},
        {"", "_"},
        {"= =", "_"},
    };
    for (const Case &c : cases) {
        std::string out = resave(
            "[A]\n", 0, [](ProfileFile *) {}, c.path);
        EXPECT_EQ(out.substr(0, out.find("NUMSECTION")),
                  std::string("[S-y-S-t-E-m 1]\nFILENAME = ") + c.written + "\n")
            << c.path;
        EXPECT_EQ(reload(out), "A/*{}") << c.path;
    }
}

TEST_F(SaveTest, FailedWriteStopsTheSaveWithFive) {
    MemoryFile m{"[A]\na = 1\n[B]\nb = 2\n"};
    uint32_t status = 0;
    ProfileFile *file = openMemory(ctx, m, &status);
    ASSERT_EQ(status, 0u);
    MemoryFile out;
    out.failWriteAt = 6;
    EXPECT_EQ(profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, out.user()),
              PROFILE_STATUS_WRITE_FAILED);
    EXPECT_EQ(out.writes, 6);
    EXPECT_TRUE(ctx.recorded(profileErrorText(5, "Error : Encountered while writing")));
    ASSERT_NE(file, nullptr); // still the caller's: a later close retries
    MemoryFile again;
    EXPECT_EQ(profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, again.user()), 0u);
    EXPECT_EQ(reload(again.output), "A/*{a=1} B/*{b=2}");
}

// Fails every line that holds "b =" with status 21.
uint32_t refuseB(const char *plain, char *out, uint32_t capacity, uint32_t, uint64_t) {
    if (std::strstr(plain, "b =") != nullptr) return 21;
    std::snprintf(out, capacity, "%s", plain);
    return 0;
}

TEST(SaveEncode, EncodeFailureEndsTheSaveWithItsStatus) {
    TestContext ctx{PROFILE_IO_CALLER, refuseB};
    MemoryFile m{"[A]\na = 1\nb = 2\nc = 3\n"};
    uint32_t status = 0;
    ProfileFile *file = openMemory(ctx, m, &status);
    ASSERT_EQ(status, 0u);
    MemoryFile out;
    EXPECT_EQ(profileCloseFile(&file, PROFILE_SAVE_ENCODE, out.user()), 21u);
    EXPECT_EQ(out.output, "[S-y-S-t-E-m 1]\nFILENAME = mem/profile.ini\nNUMSECTION = 1\n\n[A *]\n"
                          "a = 1\n");
    EXPECT_TRUE(ctx.recorded(profileErrorText(21, "Error : Invalid Key-Value passed by the user")));
    // Without bit 0 the same file saves.
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(profileCloseFile(&file, 0, out.user()), 0u);
}

TEST(SaveEncode, DefaultEncodingRoundTripsAndLongLinesFailCleanly) {
    TestContext ctx{PROFILE_IO_CALLER};
    MemoryFile m{"[A 2]\na = 1\nCSUM = 9\nb = x  y\n"};
    uint32_t status = 0;
    ProfileFile *file = openMemory(ctx, m, &status);
    ASSERT_EQ(status, 0u);
    MemoryFile out;
    ASSERT_EQ(profileCloseFile(&file, PROFILE_SAVE_ENCODE | PROFILE_SAVE_CHECKSUMS, out.user()),
              0u);
    EXPECT_EQ(out.output.find("[A"), std::string::npos); // not plain text
    MemoryFile back{out.output};
    file = openMemory(ctx, back, &status, PROFILE_OPEN_READ, PROFILE_OPEN_FLAG_DECODE);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(describe(file, false), "A/2!{a=1,b=x y}");
    profileCloseFile(&file, 0, back.user());

    // A key line whose stored form does not fit the encoder's 4,500 bytes.
    MemoryFile big{"[A]\nk = " + std::string(4500, 'v') + "\n"};
    file = openMemory(ctx, big, &status);
    ASSERT_EQ(status, 0u);
    MemoryFile sink;
    EXPECT_NE(profileCloseFile(&file, PROFILE_SAVE_ENCODE, sink.user()), 0u);
    EXPECT_NE(sink.output.find('\n'), std::string::npos); // written up to the line before
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(profileCloseFile(&file, 0, sink.user()), 0u);
}

} // namespace
