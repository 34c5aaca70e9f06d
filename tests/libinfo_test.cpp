// The library-information record, through the built shared library's own
// exports, under both of its names.
#include "kvinit64.h"
#include "support/dynlib.h"
#include "support/fixtures.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

using GetLibInfoFn = uint32_t (*)(QDKlibInfoRec *);

struct LibInfoTest : testing::Test {
    static void SetUpTestSuite() { library = platLoadLibrary(sharedLibraryPath().c_str()); }
    static void TearDownTestSuite() { platUnloadLibrary(library); }
    static GetLibInfoFn find(const char *name) {
        return reinterpret_cast<GetLibInfoFn>(platFindSymbol(library, name));
    }
    static PlatLibrary library;
};
PlatLibrary LibInfoTest::library = nullptr;

// Each build names its own platform; the DLL keeps "Win64".
#if defined(_WIN32)
constexpr char PLATFORM[] = "Win64";
#else
constexpr char PLATFORM[] = "Linux64";
#endif

void expectField(const char *field, const char *text) {
    size_t n = std::strlen(text);
    EXPECT_EQ(std::string(field, n), text);
    for (size_t i = n; i < QDK_LIBINFO_TEXT_SIZE; ++i)
        EXPECT_EQ(field[i], 0) << text << " byte " << i;
}

TEST_F(LibInfoTest, BothNamesFillTheRecordOverGarbage) {
    ASSERT_NE(library, nullptr) << sharedLibraryPath();
    for (const char *name : {"QDKgetLibInfo", "RE1DBDADF2C91EAD6b"}) {
        GetLibInfoFn fn = find(name);
        ASSERT_NE(fn, nullptr) << name;
        QDKlibInfoRec info;
        std::memset(&info, 0xFF, sizeof info);
        ASSERT_EQ(fn(&info), QDK_STATUS_OK) << name;
        EXPECT_EQ(info.reserved1, 0);
        expectField(info.version, "9.5.0.0221");
        expectField(info.protocol, "TCP/IP");
        expectField(info.platform, PLATFORM);
        expectField(info.locale, "english_united-states");
        for (unsigned char b : info.reserved2) EXPECT_EQ(b, 0);
    }
}

TEST_F(LibInfoTest, NamesGiveIdenticalResults) {
    ASSERT_NE(library, nullptr);
    GetLibInfoFn a = find("QDKgetLibInfo"), b = find("RE1DBDADF2C91EAD6b");
    ASSERT_TRUE(a && b);
    // One function under two names: the second name never passes through a
    // lookup of the first, which another module could interpose on.
    EXPECT_EQ(reinterpret_cast<void *>(a), reinterpret_cast<void *>(b));
    QDKlibInfoRec ra, rb;
    std::memset(&ra, 0x11, sizeof ra);
    std::memset(&rb, 0x22, sizeof rb);
    EXPECT_EQ(a(&ra), b(&rb));
    EXPECT_EQ(std::memcmp(&ra, &rb, sizeof ra), 0);
    EXPECT_EQ(a(nullptr), QDK_STATUS_BAD_ARGUMENT);
    EXPECT_EQ(b(nullptr), QDK_STATUS_BAD_ARGUMENT);
}

TEST_F(LibInfoTest, OnlyTheInterfaceIsReachable) {
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(platFindSymbol(library, "QDMalloc"), nullptr);
    EXPECT_EQ(platFindSymbol(library, "QDMacquireApiLock"), nullptr);
}

} // namespace
