// The error collector and the message catalogues.
#include "diag/collector.h"
#include "frame/alloc.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct CollectorDeleter {
    void operator()(ErrCollector *c) const { errCollectorFree(c); }
};
using CollectorPtr = std::unique_ptr<ErrCollector, CollectorDeleter>;

// A collector as a library context makes one: allocated, then reset.
CollectorPtr newCollector() {
    auto *c = static_cast<ErrCollector *>(QDMalloc(sizeof(ErrCollector)));
    if (c != nullptr) errCollectorReset(c);
    return CollectorPtr(c);
}

std::string textAt(const ErrCollector *c, int32_t i) {
    const char *t = errCollectorText(c, i);
    return t != nullptr ? t : "<empty>";
}

// A catalogue whose templates take arguments, with a gap at number 2.
const char *const testMessages[] = {"TST", "4", nullptr, "%s", "item %d of %s"};

struct CollectorTest : testing::Test {
    void TearDown() override {
        qdmAllocFailReset();
        qdmMemFailure.store(0);
    }
};

TEST_F(CollectorTest, ComposedTextsByteForByte) {
    struct Case {
        MessageCatalogue catalogue;
        int32_t code;
        int32_t severity;
        const char *text;
    };
    const Case cases[] = {
        {profileMessages, 11, 2, "Error   (OXB0011): Error : Check the calling parameters"},
        {generalMessages, 121, 2, "Error   (KTR0121): Out of heap memory."},
        {nullptr, 5, 1, "Warning (ERR0005): Error encountered."},
        // Severity words: eight characters; unknown severities read as errors.
        {profileMessages, 2, 0, "Message (OXB0002): Error : The given file does not exist"},
        {profileMessages, 2, 1, "Warning (OXB0002): Error : The given file does not exist"},
        {profileMessages, 2, 3, "Fatal   (OXB0002): Error : The given file does not exist"},
        {profileMessages, 2, 7, "Error   (OXB0002): Error : The given file does not exist"},
        {profileMessages, 2, -1, "Error   (OXB0002): Error : The given file does not exist"},
        // The header prints the whole code, the template follows code mod 100.
        {profileMessages, 121, 2,
         "Error   (OXB0121): Error : Invalid Key-Value passed by the user"},
        {profileMessages, 20, 2,
         "Error   (OXB0020): Error : Invalid Section-Version passed by the user"},
        {profileMessages, 12318, 2,
         "Error   (OXB12318): Error : Invalid Section-Name passed by the user"},
        // Message numbers without a template, negative codes among them.
        {profileMessages, 0, 2, "Error   (OXB0000): Error encountered."},
        {profileMessages, 1, 2, "Error   (OXB0001): Error encountered."},
        {profileMessages, 22, 2, "Error   (OXB0022): Error encountered."},
        {profileMessages, 99, 2, "Error   (OXB0099): Error encountered."},
        {profileMessages, 100, 2, "Error   (OXB0100): Error encountered."},
        {profileMessages, -5, 2, "Error   (OXB-005): Error encountered."},
        {profileMessages, -111, 2, "Error   (OXB-111): Error encountered."},
        {profileMessages, INT32_MIN, 2, "Error   (OXB-2147483648): Error encountered."},
        {generalMessages, 54, 2, "Error   (KTR0054): Error encountered."},
        {testMessages, 2, 2, "Error   (TST0002): Error encountered."}, // null template
        {nullptr, 11, 2, "Error   (ERR0011): Error encountered."},
    };
    for (const Case &k : cases) {
        CollectorPtr c = newCollector();
        errCollectorAdd(c.get(), k.catalogue, k.code, k.severity);
        ASSERT_EQ(c->count, 1) << k.text;
        EXPECT_EQ(textAt(c.get(), 0), k.text);
        EXPECT_EQ(c->highestSeverity, k.severity > 0 ? k.severity : 0) << k.text;
    }
}

TEST_F(CollectorTest, TemplatesFormatTheCallersArgumentsOnly) {
    CollectorPtr c = newCollector();
    // A caller's text is an argument: its conversions stay as they are.
    errCollectorAdd(c.get(), testMessages, 3, 1, "50% done %s%n");
    errCollectorAdd(c.get(), testMessages, 104, 1, 7, "the list");
    ASSERT_EQ(c->count, 2);
    EXPECT_EQ(textAt(c.get(), 0), "Warning (TST0003): 50% done %s%n");
    EXPECT_EQ(textAt(c.get(), 1), "Warning (TST0104): item 7 of the list");
}

TEST_F(CollectorTest, EveryGeneralNumberHasAPlainTemplate) {
    ASSERT_STREQ(generalMessages[0], "KTR");
    ASSERT_STREQ(generalMessages[1], "53");
    ASSERT_STREQ(profileMessages[0], "OXB");
    ASSERT_STREQ(profileMessages[1], "21");
    for (int32_t k = 2; k <= 53; ++k) {
        ASSERT_NE(generalMessages[k], nullptr) << k;
        EXPECT_EQ(std::strchr(generalMessages[k], '%'), nullptr) << k;
        CollectorPtr c = newCollector();
        errCollectorAdd(c.get(), generalMessages, k, 2);
        char header[32];
        errFormatHeader(generalMessages, k, 2, header, sizeof header);
        EXPECT_EQ(textAt(c.get(), 0), std::string(header) + generalMessages[k]) << k;
    }
}

TEST_F(CollectorTest, HeaderIsBoundedAndZeroFilled) {
    char buffer[40];
    std::memset(buffer, 'x', sizeof buffer);
    errFormatHeader(profileMessages, 11, 1, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Warning (OXB0011): ");
    for (size_t i = std::strlen(buffer); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '\0') << i;

    struct Case {
        size_t size;
        const char *text;
    };
    for (const Case &k : {Case{1, ""}, Case{5, "Fata"}, Case{9, "Fatal   "},
                          Case{12, "Fatal   (OX"}, Case{19, "Fatal   (OXB0011):"}}) {
        std::memset(buffer, 'x', sizeof buffer);
        errFormatHeader(profileMessages, 11, 3, buffer, k.size);
        EXPECT_STREQ(buffer, k.text) << k.size;
        EXPECT_EQ(buffer[k.size], 'x') << k.size; // nothing past size
    }
    buffer[0] = 'x';
    errFormatHeader(profileMessages, 11, 3, buffer, 0);
    EXPECT_EQ(buffer[0], 'x');
    errFormatHeader(profileMessages, 11, 3, nullptr, 10); // does nothing
}

TEST_F(CollectorTest, DuplicatesChangeNothing) {
    CollectorPtr c = newCollector();
    errCollectorAdd(c.get(), profileMessages, 11, 2);
    // A duplicate costs no allocation: an armed failure is not reached.
    qdmAllocFailAt(1);
    errCollectorAdd(c.get(), profileMessages, 11, 2);
    EXPECT_FALSE(qdmAllocFailFired());
    qdmAllocFailReset();
    // Severity 5 writes the same word, so the text is a duplicate and the
    // highest severity stays.
    errCollectorAdd(c.get(), profileMessages, 11, 5);
    EXPECT_EQ(c->count, 1);
    EXPECT_EQ(c->highestSeverity, 2);

    // Same code, another word: a distinct text.
    errCollectorAdd(c.get(), profileMessages, 11, 1);
    ASSERT_EQ(c->count, 2);
    EXPECT_EQ(textAt(c.get(), 0), "Error   (OXB0011): Error : Check the calling parameters");
    EXPECT_EQ(textAt(c.get(), 1), "Warning (OXB0011): Error : Check the calling parameters");
    EXPECT_EQ(c->highestSeverity, 2);
}

TEST_F(CollectorTest, FullCollectorKeepsFirstFourteenAndTheMostRecent) {
    CollectorPtr c = newCollector();
    auto text = [](int n) { return "Message (TST0003): text " + std::to_string(n); };
    for (int n = 1; n <= 16; ++n)
        errCollectorAdd(c.get(), testMessages, 3, 0, ("text " + std::to_string(n)).c_str());
    ASSERT_EQ(c->count, 15);
    for (int i = 0; i < 14; ++i) EXPECT_EQ(textAt(c.get(), i), text(i + 1)) << i;
    EXPECT_EQ(textAt(c.get(), 14), text(16));

    // Text 15 was freed, so it is no duplicate: it takes the last slot again.
    errCollectorAdd(c.get(), testMessages, 3, 0, "text 15");
    EXPECT_EQ(c->count, 15);
    EXPECT_EQ(textAt(c.get(), 14), text(15));
    EXPECT_EQ(textAt(c.get(), 13), text(14));
    // A text held in slots 0-13 is still a duplicate.
    errCollectorAdd(c.get(), testMessages, 3, 2, "text 1");
    errCollectorAdd(c.get(), testMessages, 3, 0, "text 3");
    EXPECT_EQ(textAt(c.get(), 14), "Error   (TST0003): text 1");
    EXPECT_EQ(c->highestSeverity, 2);
}

TEST_F(CollectorTest, LongTextsAreCutAt4181) {
    const std::string header = "Error   (TST0003): ";
    for (size_t messageLength : {ERR_TEXT_MAX - header.size() - 1, ERR_TEXT_MAX - header.size(),
                                 ERR_TEXT_MAX - header.size() + 1, size_t{10000}}) {
        std::string message(messageLength, 'a');
        message.back() = 'z';
        CollectorPtr c = newCollector();
        errCollectorAdd(c.get(), testMessages, 3, 2, message.c_str());
        std::string expected = (header + message).substr(0, ERR_TEXT_MAX);
        ASSERT_EQ(c->count, 1);
        EXPECT_EQ(textAt(c.get(), 0), expected) << messageLength;
    }
}

TEST_F(CollectorTest, FailedCopyCountsButStaysEmpty) {
    CollectorPtr c = newCollector();
    errCollectorAdd(c.get(), profileMessages, 6, 1);
    qdmMemFailure.store(0);
    qdmAllocFailAt(1);
    errCollectorAdd(c.get(), profileMessages, 11, 1);
    EXPECT_TRUE(qdmAllocFailFired());
    ASSERT_EQ(c->count, 2);
    EXPECT_EQ(c->messages[1], nullptr);
    EXPECT_EQ(c->highestSeverity, 3);
    EXPECT_EQ(qdmMemFailure.load(), 1);

    // The empty slot holds no text, so the same text is recorded again.
    errCollectorAdd(c.get(), profileMessages, 11, 1);
    ASSERT_EQ(c->count, 3);
    EXPECT_EQ(textAt(c.get(), 2), "Warning (OXB0011): Error : Check the calling parameters");
    EXPECT_EQ(c->highestSeverity, 3);
}

TEST_F(CollectorTest, AbsentCollector) {
    EXPECT_EQ(errCollectorReset(nullptr), -2);
    qdmAllocFailAt(1);
    errCollectorAdd(nullptr, profileMessages, 11, 2);
    EXPECT_FALSE(qdmAllocFailFired());
    errCollectorFree(nullptr);
    EXPECT_EQ(errCollectorText(nullptr, 0), nullptr);
}

TEST_F(CollectorTest, FreeEmptiesFromTheLastSlotDown) {
    // Freed with texts in every slot and an empty one; AddressSanitizer
    // reports any text left behind.
    CollectorPtr c = newCollector();
    qdmAllocFailAt(3);
    for (int32_t code = 2; code <= 21; ++code) errCollectorAdd(c.get(), profileMessages, code, 1);
    EXPECT_EQ(c->count, 15);
    EXPECT_EQ(c->messages[2], nullptr);
    EXPECT_EQ(errCollectorText(c.get(), 15), nullptr);
    EXPECT_EQ(errCollectorText(c.get(), -1), nullptr);
}

TEST_F(CollectorTest, CollectorsInTwoThreadsDoNotShareTheirTexts) {
    constexpr int ROUNDS = 200;
    auto work = [](char letter, std::vector<std::string> *seen) {
        const std::string name(300, letter);
        for (int round = 0; round < ROUNDS; ++round) {
            CollectorPtr c = newCollector();
            for (int n = 0; n < 15; ++n)
                errCollectorAdd(c.get(), testMessages, 104, 1, n, name.c_str());
            for (int i = 0; i < c->count; ++i) seen->push_back(textAt(c.get(), i));
        }
    };
    std::vector<std::string> seenA, seenB;
    std::thread a(work, 'A', &seenA);
    std::thread b(work, 'B', &seenB);
    a.join();
    b.join();
    for (auto [name, seen] : {std::pair{'A', &seenA}, std::pair{'B', &seenB}}) {
        ASSERT_EQ(seen->size(), size_t{15 * ROUNDS});
        for (size_t i = 0; i < seen->size(); ++i) {
            std::string expected = "Warning (TST0104): item " + std::to_string(i % 15) + " of " +
                                   std::string(300, name);
            ASSERT_EQ((*seen)[i], expected) << i;
        }
    }
}

} // namespace
