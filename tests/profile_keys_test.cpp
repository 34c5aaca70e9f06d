// The key operations: reading, setting and removing one key of an open
// file; what they refuse, what they leave alone (other sections keep their
// checksums and damage), and the line at which a load ended early.
#include "frame/alloc.h"
#include "profile/checksum.h"
#include "profile/loadsave.h"
#include "support/profile_io.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string csumLine(uint32_t sum) {
    return "CSUM = " + std::to_string(static_cast<int32_t>(sum)) + "\n";
}
uint32_t keySum(const char *keyValue) {
    return profileLineChecksum(keyValue, PROFILE_DEFAULT_TRANSFORM);
}

// Main is sound (two keys named "k"), Other and Third are damaged (their
// stored checksums do not match their keys), KTRDIST has no version.
std::string sampleFile() {
    return "[S-y-S-t-E-m 1]\nFILENAME = f\nNUMSECTION = 4\n"
           "\n[Main 1.0]\nk = 1\nb = 2\nk = 3\n" +
           csumLine(keySum("k=1") + keySum("b=2") + keySum("k=3")) +
           "\n[Other 2]\nx = 1\nCSUM = -7\n"
           "\n[Third 3]\ny = 1\nCSUM = 99\n"
           "\n[KTRDIST ]\nd = 1\n";
}

const char SAMPLE_DESCRIBED[] = "Main/1.0{k=1,b=2,k=3} Other/2!{x=1} Third/3!{y=1} KTRDIST/*{d=1}";

struct KeysTest : testing::Test {
    TestContext ctx{PROFILE_IO_CALLER};
    MemoryFile memory{sampleFile()};
    ProfileFile *file = nullptr;

    void SetUp() override {
        uint32_t status = 0;
        file = openMemory(ctx, memory, &status);
        ASSERT_EQ(status, 0u);
        ASSERT_EQ(describe(file, false), SAMPLE_DESCRIBED);
    }
    void TearDown() override {
        qdmAllocFailReset();
        if (file != nullptr) profileFreeFile(ctx.collector(), file);
    }

    // Saves with checksums and loads what was written: describe() of it.
    std::string savedAndReloaded() {
        EXPECT_EQ(profileCloseFile(&file, PROFILE_SAVE_CHECKSUMS, memory.user()), 0u);
        MemoryFile again{memory.output};
        uint32_t status = 0;
        ProfileFile *reloaded = openMemory(ctx, again, &status, PROFILE_OPEN_READ);
        if (status != 0) return "status " + std::to_string(status);
        std::string d = describe(reloaded, false);
        profileFreeFile(ctx.collector(), reloaded);
        return d;
    }
};

TEST_F(KeysTest, SetReplacesTheFirstKeyOrAppendsAndTheSaveReadsBack) {
    ProfileSectionInfo info{};
    ASSERT_EQ(profileSetKey(file, "Main", "1.0", "k", "new value", 0, &info), 0u);
    ASSERT_EQ(profileSetKey(file, "Main", "1.0", "c", "x = y]", 0, nullptr), 0u);
    ASSERT_EQ(profileSetKey(file, "KTRDIST", "any", "d", "2", 0, nullptr), 0u);
    ASSERT_EQ(profileSetKey(file, "New", "7", "n", "1", PROFILE_KEYS_CREATE_SECTION, nullptr), 0u);
    // The info is the section after the change, its checksum over the new keys.
    EXPECT_EQ(std::string(info.name), "Main");
    EXPECT_EQ(info.keyCount, 3u);
    EXPECT_EQ(info.checksum, keySum("k=new value") + keySum("b=2") + keySum("k=3"));
    EXPECT_EQ(info.damaged, 0u);

    const std::string expected =
        "Main/1.0{k=new value,b=2,k=3,c=x = y]} Other/2!{x=1} Third/3!{y=1} KTRDIST/*{d=2} "
        "New/7{n=1}";
    EXPECT_EQ(describe(file, false), expected);
    EXPECT_EQ(savedAndReloaded(), expected);
}

TEST_F(KeysTest, GetGivesTheFirstValueAndSaysWhenTheSectionIsDamaged) {
    char value[PROFILE_VALUE_SIZE];
    ProfileSectionInfo info{};
    ASSERT_EQ(profileGetKey(file, "Main", "1.0", "k", value, sizeof value, &info), 0u);
    EXPECT_EQ(std::string(value), "1");
    EXPECT_EQ(info.damaged, 0u);
    ASSERT_EQ(profileGetKey(file, "Other", "2", "x", value, sizeof value, &info), 0u);
    EXPECT_EQ(info.damaged, 1u);

    struct Case {
        const char *section;
        const char *version;
        const char *key;
        size_t size;
        uint32_t status;
    } cases[] = {
        {"Main", "1.0", "missing", sizeof value, PROFILE_STATUS_NO_KEY},
        {"Main", "9", "k", sizeof value, PROFILE_STATUS_NO_SECTION},
        {"Main", "1.0", "k", sizeof value - 1, PROFILE_STATUS_BAD_PARAMS},
        {"Main", "123456789012345678901", "k", sizeof value, PROFILE_STATUS_BAD_VERSION},
    };
    for (const Case &c : cases) {
        std::snprintf(value, sizeof value, "stale");
        EXPECT_EQ(profileGetKey(file, c.section, c.version, c.key, value, c.size, nullptr),
                  c.status)
            << c.key << " " << c.version;
        EXPECT_EQ(std::string(value), "");
    }
    EXPECT_TRUE(ctx.recorded(profileErrorText(7, "Error : No matching key found"))) << ctx.texts();
}

TEST_F(KeysTest, NamesAndValuesThatWouldNotReadBackAreRefusedAndChangeNothing) {
    const std::string longValue(PROFILE_VALUE_SIZE - 1, 'v');
    const std::string longName(PROFILE_KEY_NAME_SIZE - 1, 'n');
    struct Case {
        std::string key;
        std::string value;
        uint32_t status;
    } cases[] = {
        {"", "x", PROFILE_STATUS_BAD_KEY_NAME},
        {"a b", "x", PROFILE_STATUS_BAD_KEY_NAME},
        {"a=b", "x", PROFILE_STATUS_BAD_KEY_NAME},
        {"CSUM", "5", PROFILE_STATUS_BAD_KEY_NAME},
        {"k#", "x", PROFILE_STATUS_BAD_KEY_NAME},
        {"[k]", "x", PROFILE_STATUS_BAD_KEY_NAME},
        {"a\nb", "x", PROFILE_STATUS_BAD_KEY_NAME},
        {longName + "n", "x", PROFILE_STATUS_BAD_KEY_NAME},
        {"k", "", PROFILE_STATUS_BAD_VALUE},
        {"k", " x", PROFILE_STATUS_BAD_VALUE},
        {"k", "x ", PROFILE_STATUS_BAD_VALUE},
        {"k", "a  b", PROFILE_STATUS_BAD_VALUE},
        {"k", "a\t\tb", PROFILE_STATUS_BAD_VALUE},
        {"k", "a\nb", PROFILE_STATUS_BAD_VALUE},
        {"k", "=x", PROFILE_STATUS_BAD_VALUE},
        {"k", "[x]", PROFILE_STATUS_BAD_VALUE},
        {"k", "a<b", PROFILE_STATUS_BAD_VALUE},
        {"k", "50%?", PROFILE_STATUS_BAD_VALUE},
        {"L1", "a@b", PROFILE_STATUS_BAD_VALUE},
        {"k", longValue + "v", PROFILE_STATUS_BAD_VALUE},
        // A control character other than the tab: an update open would
        // refuse the carriage return, and the others drive a terminal.
        {"k", "tab\tand\rcarriage return", PROFILE_STATUS_BAD_VALUE},
        {"k",
         "\x1B"
         "c",
         PROFILE_STATUS_BAD_VALUE},
        {"k\x07", "x", PROFILE_STATUS_BAD_KEY_NAME},
        // Accepted: each reads back as itself.
        {longName, longValue, 0},
        {"k", "a b = c]", 0},
        {"k", "tab\tand 8-bit \xE9\xC3\xA9", 0},
        {"FILENAME", "x", 0},
    };
    for (const Case &c : cases) {
        ProfileFile *before = file;
        uint32_t status = profileSetKey(file, "Main", "1.0", c.key.c_str(), c.value.c_str(),
                                        PROFILE_KEYS_ACCEPT_DAMAGE, nullptr);
        ASSERT_EQ(status, c.status) << "key [" << c.key << "] value [" << c.value << "]";
        ASSERT_EQ(file, before);
        if (c.status != 0) {
            EXPECT_EQ(describe(file, false), SAMPLE_DESCRIBED) << c.key << " " << c.value;
            continue;
        }
        // What is accepted reads back the same after a save.
        std::string expected = describe(file, false);
        EXPECT_EQ(savedAndReloaded(), expected);
        uint32_t reopened = 0;
        memory = MemoryFile{sampleFile()};
        file = openMemory(ctx, memory, &reopened);
        ASSERT_EQ(reopened, 0u);
    }
    EXPECT_TRUE(ctx.recorded(profileErrorText(16, "Error : Invalid Key-Name passed by the user")));
    EXPECT_TRUE(ctx.recorded(profileErrorText(21, "Error : Invalid Key-Value passed by the user")));
}

TEST_F(KeysTest, SectionRefusalsChangeNothing) {
    struct Case {
        const char *section;
        const char *version;
        uint32_t flags;
        uint32_t setStatus;
        uint32_t removeStatus; // of the key "x", without the flags
    } cases[] = {
        {"Missing", "1", 0, PROFILE_STATUS_NO_SECTION, PROFILE_STATUS_NO_SECTION},
        {"S-y-S-t-E-m", "1", 0, PROFILE_STATUS_BAD_SECTION_NAME, PROFILE_STATUS_BAD_SECTION_NAME},
        {"S-y-S-t-E-m", "2", PROFILE_KEYS_CREATE_SECTION, PROFILE_STATUS_BAD_SECTION_NAME,
         PROFILE_STATUS_BAD_SECTION_NAME},
        {"a b", "1", PROFILE_KEYS_CREATE_SECTION, PROFILE_STATUS_BAD_SECTION_NAME,
         PROFILE_STATUS_NO_SECTION},
        {"New", "1 2", PROFILE_KEYS_CREATE_SECTION, PROFILE_STATUS_BAD_VERSION,
         PROFILE_STATUS_NO_SECTION},
        // "[New ]" would read back as version "*".
        {"New", "", PROFILE_KEYS_CREATE_SECTION, PROFILE_STATUS_BAD_VERSION,
         PROFILE_STATUS_NO_SECTION},
        {"Other", "2", 0, PROFILE_STATUS_TAMPERED, PROFILE_STATUS_TAMPERED},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(profileSetKey(file, c.section, c.version, "k", "v", c.flags, nullptr),
                  c.setStatus)
            << c.section << " " << c.version;
        EXPECT_EQ(profileRemoveKey(file, c.section, c.version, "x", 0, nullptr, nullptr),
                  c.removeStatus)
            << c.section << " " << c.version;
        EXPECT_EQ(describe(file, false), SAMPLE_DESCRIBED);
    }
    EXPECT_EQ(profileSetKey(nullptr, "Main", "1.0", "k", "v", 0, nullptr),
              PROFILE_STATUS_BAD_PARAMS);
    EXPECT_EQ(profileSetKey(file, "Main", "1.0", "k", nullptr, 0, nullptr),
              PROFILE_STATUS_BAD_PARAMS);
    EXPECT_EQ(profileRemoveKey(file, "Main", "1.0", nullptr, 0, nullptr, nullptr),
              PROFILE_STATUS_BAD_PARAMS);
}

TEST_F(KeysTest, ChangingOneSectionLeavesTheOthersDamage) {
    // A damaged section is changed only when its keys are accepted as they
    // are; the other damaged section keeps its stored checksum.
    ASSERT_EQ(profileSetKey(file, "Other", "2", "x", "2", PROFILE_KEYS_ACCEPT_DAMAGE, nullptr), 0u);
    ASSERT_EQ(profileSetKey(file, "Main", "1.0", "b", "3", 0, nullptr), 0u);
    const std::string expected = "Main/1.0{k=1,b=3,k=3} Other/2{x=2} Third/3!{y=1} KTRDIST/*{d=1}";
    EXPECT_EQ(savedAndReloaded(), expected);
    EXPECT_NE(memory.output.find("[Other 2]\nx = 2\n" + csumLine(keySum("x=2"))), std::string::npos)
        << memory.output;
    EXPECT_NE(memory.output.find("[Third 3]\ny = 1\nCSUM = 99\n"), std::string::npos)
        << memory.output;
}

TEST_F(KeysTest, RemoveTakesEveryKeyOfTheName) {
    uint32_t removed = 0;
    ProfileSectionInfo info{};
    ASSERT_EQ(profileRemoveKey(file, "Main", "1.0", "k", 0, &info, &removed), 0u);
    EXPECT_EQ(removed, 2u);
    EXPECT_EQ(info.keyCount, 1u);
    EXPECT_EQ(info.checksum, keySum("b=2"));
    EXPECT_EQ(profileRemoveKey(file, "Main", "1.0", "k", 0, nullptr, &removed),
              PROFILE_STATUS_NO_KEY);
    EXPECT_EQ(removed, 0u);
    EXPECT_EQ(profileRemoveKey(file, "Third", "3", "y", 0, nullptr, nullptr),
              PROFILE_STATUS_TAMPERED);
    ASSERT_EQ(
        profileRemoveKey(file, "Third", "3", "y", PROFILE_KEYS_ACCEPT_DAMAGE, nullptr, nullptr),
        0u);
    EXPECT_EQ(savedAndReloaded(), "Main/1.0{b=2} Other/2!{x=1} Third/3{} KTRDIST/*{d=1}");
}

TEST_F(KeysTest, AllocationFailureLeavesTheFileAsItWas) {
    for (uint32_t flags : {0u, PROFILE_KEYS_CREATE_SECTION}) {
        const char *section = flags != 0 ? "New" : "Main";
        // New keys come from the file's arena: with its block full the key
        // needs a new block, and that allocation fails.
        file->arena.left = 0;
        qdmAllocFailAt(1, true);
        EXPECT_EQ(profileSetKey(file, section, "1.0", "k", "v", flags, nullptr),
                  PROFILE_STATUS_NO_RESOURCES);
        qdmAllocFailReset();
        EXPECT_EQ(describe(file, false), SAMPLE_DESCRIBED);
    }
}

// Decodes "ok:" lines to the rest of the line; any other line to nothing.
uint32_t prefixDecode(const char *stored, char *out, uint32_t capacity, uint32_t, uint64_t) {
    if (std::strncmp(stored, "ok:", 3) == 0) std::snprintf(out, capacity, "%s", stored + 3);
    return 0;
}

TEST(LoadEndedEarly, TheRecordKeepsTheLineThatCouldNotBeDecoded) {
    TestContext ctx{PROFILE_IO_CALLER, nullptr, prefixDecode, 77};
    struct Case {
        const char *content;
        uint32_t line;
    } cases[] = {
        {"ok:[A]\nok:a = 1\n", 0},
        {"ok:[A]\nok:a = 1\nbad\nok:[B]\n", 3},
        {"bad\n", 1},
        {"", 0},
    };
    for (const Case &c : cases) {
        MemoryFile m{c.content};
        uint32_t status = 0;
        ProfileFile *file =
            openMemory(ctx, m, &status, PROFILE_OPEN_READ, PROFILE_OPEN_FLAG_DECODE);
        ASSERT_EQ(status, 0u) << c.content;
        EXPECT_EQ(file->loadEndedAtLine, c.line) << c.content;
        profileFreeFile(ctx.collector(), file);
    }
}

} // namespace
