// Normalising and splitting profile lines.
#include "profile/format.h"
#include "support/collector_fixture.h"

#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

TEST(ProfileFormat, NormalizeBlanks) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"   ", "   "}, // only whitespace: unchanged
        {" \t\r\n\v\f", " \t\r\n\v\f"},
        {"  key   =\tvalue  ", "key =\tvalue"},
        {"a \t b", "a b"},   // a run becomes its first character
        {"a\t\t b", "a\tb"}, // so two tabs stay one tab
        {"\t\n a", "a"},
        {"a\r\n", "a"},
        {"a\n\tb", "a\nb"},
        {"x\x01  y\x7f", "x\x01 y\x7f"},               // other control characters are kept
        {"\xe9t\xe9  \xff\xa0", "\xe9t\xe9 \xff\xa0"}, // bytes 128-255 are not whitespace
        {"plain", "plain"},
    };
    for (const Case &c : cases) {
        std::string text = c.in;
        normalizeBlanks(text.data());
        EXPECT_EQ(std::string(text.c_str()), c.out) << "\"" << c.in << "\"";
    }
    normalizeBlanks(nullptr);
}

// The rule written out plainly: leading and trailing whitespace dropped,
// each inner run replaced by its first character; whitespace-only text kept.
std::string referenceNormalized(const std::string &in) {
    auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    size_t begin = 0, end = in.size();
    while (begin < end && blank(in[begin])) ++begin;
    if (begin == end) return in;
    while (blank(in[end - 1])) --end;
    std::string out;
    for (size_t i = begin; i < end; ++i)
        if (!blank(in[i]) || !blank(in[i - 1])) out += in[i];
    return out;
}

TEST(ProfileFormat, NormalizeBlanksMatchesTheRuleOnRandomLines) {
    // Mostly normal text with single and doubled whitespace anywhere, so
    // that every way out of the already-normal prefix is taken.
    const char alphabet[] = "ab= \t\r\n\x01\xe9";
    std::mt19937 rng(31);
    for (int i = 0; i < 20000; ++i) {
        std::string text(rng() % 12, 'x');
        for (char &c : text) c = alphabet[rng() % (sizeof alphabet - 1)];
        std::string normalized = text;
        normalizeBlanks(normalized.data());
        ASSERT_EQ(std::string(normalized.c_str()), referenceNormalized(text)) << i;
    }
}

struct Parsed {
    uint32_t status;
    ProfileLineKind kind;
    std::string a, b; // name and version, or key name and value
};

Parsed parse(ErrCollector *collector, ProfileParseBuffers &buffers, const std::string &line) {
    ProfileLineKind kind = PROFILE_LINE_KEY;
    Parsed p{profileParseLine(collector, line.c_str(), &kind, &buffers), kind, "", ""};
    if (p.status == 0 && kind == PROFILE_LINE_SECTION) {
        p.a = buffers.sectionName;
        p.b = buffers.version;
    } else if (p.status == 0 && kind == PROFILE_LINE_KEY) {
        p.a = buffers.keyName;
        p.b = buffers.value;
    }
    return p;
}

constexpr ProfileLineKind SEC = PROFILE_LINE_SECTION, KEY = PROFILE_LINE_KEY,
                          OTH = PROFILE_LINE_OTHER;

TEST(ProfileFormat, ParseLineTable) {
    const std::string n76(76, 'n'), v20(20, '9'), k60(60, 'k'), x4500(4500, 'x');
    struct Case {
        std::string line;
        uint32_t status;
        ProfileLineKind kind;
        std::string a, b;
    } cases[] = {
        // Headers.
        {"[Main 1.0]", 0, SEC, "Main", "1.0"},
        {"[Main]", 0, SEC, "Main", "*"},
        {"[]", 0, SEC, "", "*"},
        {"[KTRDIST ]", 0, SEC, "KTRDIST", "*"}, // written with an empty version
        {"[Main 1 0]", 0, SEC, "Main", "10"},   // blanks inside the version drop out
        {"[Main 1.0 ]", 8, OTH, "", ""},        // a blank before "]" takes the "]" in
        {"[Main 1.0] tail = x", 0, SEC, "Main", "1.0"},
        {"[[Main 2]", 0, SEC, "Main", "2"},
        {"[Main 1.0", 8, OTH, "", ""},
        {"text [Main] = x", 0, SEC, "text", "[Main"}, // "[" anywhere makes a header
        {"k = a[b]", 0, SEC, "k", "=a[b"},
        {"k = a[b", 8, OTH, "", ""},
        {"[" + n76 + " 1]", 0, SEC, n76, "1"},
        {"[" + n76 + "n 1]", 8, OTH, "", ""},
        {"[Main " + v20 + "]", 0, SEC, "Main", v20},
        {"[Main " + v20 + "9]", 8, OTH, "", ""},
        // Key lines.
        {"a = b", 0, KEY, "a", "b"},
        {"a = b = d", 0, KEY, "a", "b = d"},
        {"a == b", 0, KEY, "a", "b"},
        {"k v = w", 0, KEY, "k", "v = w"},
        {"a=b\tc", 0, KEY, "a", "b\tc"},
        {"a = b\nc", 0, KEY, "a", "b"}, // the value ends at a line feed
        {"a =", 8, OTH, "", ""},
        {"= b", 8, OTH, "", ""},
        {k60 + " = v", 0, KEY, k60, "v"},
        {k60 + "k = v", 8, OTH, "", ""},
        {"a = " + x4500, 0, KEY, "a", x4500},
        {"a = " + x4500 + "x", 8, OTH, "", ""},
        // Other lines.
        {"", 0, OTH, "", ""},
        {"free text", 0, OTH, "", ""},
        {"]", 0, OTH, "", ""},
        // Rejected characters, anywhere in the line.
        {"a = x<y", 8, OTH, "", ""},
        {"a = x>y", 8, OTH, "", ""},
        {"# comment", 8, OTH, "", ""},
        {"a = me@host", 8, OTH, "", ""},
        {"why?", 8, OTH, "", ""},
        {"[Ma#in 1]", 8, OTH, "", ""},
        {"L1 = #", 8, OTH, "", ""}, // no "CSUM" line before it
    };
    for (const Case &c : cases) {
        TestCollector collector;
        ProfileParseBuffers buffers{};
        Parsed p = parse(collector, buffers, c.line);
        std::string shown = c.line.substr(0, 90);
        EXPECT_EQ(p.status, c.status) << shown;
        EXPECT_EQ(p.kind, c.kind) << shown;
        EXPECT_EQ(p.a, c.a) << shown;
        EXPECT_EQ(p.b, c.b) << shown;
        EXPECT_EQ(collector.holds("Error   (OXB0008): Error : File is found to be tampered"),
                  c.status == 8)
            << shown;
    }
}

TEST(ProfileFormat, NoLineIsElevenAndRecorded) {
    TestCollector collector;
    ProfileParseBuffers buffers{};
    ProfileLineKind kind = PROFILE_LINE_KEY;
    EXPECT_EQ(profileParseLine(collector, nullptr, &kind, &buffers), 11u);
    EXPECT_EQ(kind, PROFILE_LINE_OTHER);
    EXPECT_EQ(profileParseLine(collector, "a = b", nullptr, &buffers), 11u);
    EXPECT_EQ(profileParseLine(collector, "a = b", &kind, nullptr), 11u);
    EXPECT_TRUE(collector.holds("(OXB0011)"));
}

// After a "CSUM" key line, a line starting with "L" and a digit skips the
// character rules and cannot be a header; the next other key line ends that.
TEST(ProfileFormat, LineAfterCsumStartingWithLAndADigit) {
    struct Step {
        std::string line;
        uint32_t status;
        ProfileLineKind kind;
        std::string a, b;
    } steps[] = {
        {"CSUM = -12", 0, KEY, "CSUM", "-12"},
        {"L5 x#y<z>", 0, OTH, "", ""},           // no "=": an other line
        {"L9[x]?", 0, OTH, "", ""},              // "[" is not looked at either
        {"[Next 2]", 0, SEC, "Next", "2"},       // a header keeps the last key
        {"L0 = <v>[@]", 0, KEY, "L0", "<v>[@]"}, // a key line: the last key is now L0
        {"L1 = #", 8, OTH, "", ""},
        {"CSUM = 1", 0, KEY, "CSUM", "1"},
        {"Lx = #", 8, OTH, "", ""}, // "L" without a digit
        {"l1 = #", 8, OTH, "", ""}, // lower-case "l"
        {"L2 = ok", 0, KEY, "L2", "ok"},
        {"a = b", 0, KEY, "a", "b"},
        {"CSUM = 3", 0, KEY, "CSUM", "3"},
        {"x =", 8, OTH, "", ""}, // a failed key line is not a key line
        {"L3 = ?", 0, KEY, "L3", "?"},
    };
    TestCollector collector;
    ProfileParseBuffers buffers{};
    for (const Step &s : steps) {
        Parsed p = parse(collector, buffers, s.line);
        EXPECT_EQ(p.status, s.status) << s.line;
        EXPECT_EQ(p.kind, s.kind) << s.line;
        EXPECT_EQ(p.a, s.a) << s.line;
        EXPECT_EQ(p.b, s.b) << s.line;
    }
}

// What the full way makes of a raw line: normalised, then parsed with
// fresh buffers.
Parsed fullWay(const std::string &raw) {
    TestCollector collector;
    ProfileParseBuffers buffers{};
    std::string line = raw;
    normalizeBlanks(line.data());
    return parse(collector, buffers, line.c_str());
}

TEST(ProfileFormat, SplitPlainKeyTakesTheCommonLinesAsTheFullWayDoes) {
    const std::string k60(60, 'k'), x4500(4500, 'x');
    struct Case {
        std::string line;
        std::string name, value; // empty name: the line is left to the full way
        bool oneSign;
    } cases[] = {
        {"a = b", "a", "b", true},
        {"a=b", "a", "b", true},
        {"a =b c", "a", "b c", true},
        {"name = v a l u e, (more) 1.5", "name", "v a l u e, (more) 1.5", true},
        {"a == b", "a", "b", false},
        {"a = b = c", "a", "b = c", true},
        {"k v = w", "k", "v = w", false},
        {"\xe9t\xe9 = \xff\x01", "\xe9t\xe9", "\xff\x01", true},
        {k60 + " = v", k60, "v", true},
        {"k = " + x4500, "k", x4500, true},
        // Left to the full way: other whitespace, blanks to normalise,
        // rejected characters, headers, the checksum line, fields that are
        // empty or too long, and lines that are not key lines.
        {"a\t= b", "", "", false},
        {"a = b\r", "", "", false},
        {"a  = b", "", "", false},
        {" a = b", "", "", false},
        {"a = b ", "", "", false},
        {"a = [b]", "", "", false},
        {"a = <b>", "", "", false},
        {"a = b#", "", "", false},
        {"a = b@c", "", "", false},
        {"a = b?", "", "", false},
        {std::string("a = b\0c", 7), "", "", false},
        {"CSUM = 12", "", "", false},
        {k60 + "k = v", "", "", false},
        {"k = " + x4500 + "x", "", "", false},
        {"a =", "", "", false},
        {"= b", "", "", false},
        {"a b", "", "", false},
        {"", "", "", false},
    };
    for (const Case &c : cases) {
        ProfileKeySpan span{};
        bool split = profileSplitPlainKey(c.line.data(), c.line.size(), &span);
        ASSERT_EQ(split, !c.name.empty()) << c.line.substr(0, 80);
        if (!split) continue;
        EXPECT_EQ(std::string(span.name, span.nameLength), c.name);
        EXPECT_EQ(std::string(span.value, span.valueLength), c.value);
        EXPECT_EQ(span.oneSign, c.oneSign) << c.line;
    }
}

TEST(ProfileFormat, SplitPlainKeyNeverDisagreesWithTheFullWay) {
    // Lines of every length around the 16-byte steps, from an alphabet that
    // reaches every way out; each line the split takes must be the full
    // way's key line with the same name and value.
    const char alphabet[] = "ab=  = \t\r[<#\x01\xe9"
                            "CSUM";
    std::mt19937 rng(57);
    int taken = 0;
    for (int i = 0; i < 40000; ++i) {
        std::string line(rng() % 70, 'x');
        for (char &c : line)
            if (rng() % 3 == 0) c = alphabet[rng() % (sizeof alphabet - 1)];
        ProfileKeySpan span{};
        if (!profileSplitPlainKey(line.data(), line.size(), &span)) continue;
        ++taken;
        Parsed full = fullWay(line);
        ASSERT_EQ(full.status, 0u) << line;
        ASSERT_EQ(full.kind, PROFILE_LINE_KEY) << line;
        ASSERT_EQ(std::string(span.name, span.nameLength), full.a) << line;
        ASSERT_EQ(std::string(span.value, span.valueLength), full.b) << line;
        ASSERT_NE(full.a, "CSUM");
        std::string normalized = line;
        normalizeBlanks(normalized.data());
        ASSERT_EQ(normalized, line) << "the split took a line that is not normal";
        // The checksum skips blanks: the line's is the key's when both read
        // the same without them.
        auto withoutBlanks = [](const std::string &text) {
            std::string out;
            for (char c : text)
                if (c != ' ') out += c;
            return out;
        };
        ASSERT_EQ(span.oneSign, withoutBlanks(line) == withoutBlanks(full.a + "=" + full.b))
            << line;
    }
    EXPECT_GT(taken, 1000); // the alphabet gives plenty of plain key lines
}

} // namespace
