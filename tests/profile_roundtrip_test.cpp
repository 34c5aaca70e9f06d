// The round trip as a property: every generated file that loads, saved and
// loaded again, gives the same sections, versions, keys, computed checksums
// and (with "CSUM" lines) damaged flags; saving that again gives the same
// text.
#include "profile/checksum.h"
#include "profile/loadsave.h"
#include "support/profile_io.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A small deterministic generator (splitmix64).
struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    bool chance(uint32_t percent) { return below(100) < percent; }
    char from(const std::string &alphabet) { return alphabet[below(alphabet.size())]; }
    std::string word(const std::string &alphabet, uint32_t minLen, uint32_t maxLen) {
        std::string w;
        uint32_t n = minLen + below(maxLen - minLen + 1);
        for (uint32_t i = 0; i < n; ++i) w += from(alphabet);
        return w;
    }
    std::string blanks(uint32_t maxLen) { return word(" \t", 0, maxLen); }
};

const std::string NAME_CHARS = "abcXYZ019-_.*=[\xC3\xA9";
const std::string KEY_CHARS = "abcKLM019_-.*]\xE9";
const std::string VALUE_CHARS = "abcxyz0189=]*-_./:\\\xE9\x01";
const std::string REFUSED = "<>#@?[]";

// One generated file; longLines: it holds a value near the 4,500 limit.
struct Generated {
    std::string text;
    bool longLines = false;
};

// A value as written (runs of whitespace) and as read back (each run
// shrunk to its first character).
void makeValue(Rng &rng, const std::string &extra, std::string &written, std::string &plain) {
    uint32_t tokens = 1 + rng.below(4);
    for (uint32_t t = 0; t < tokens; ++t) {
        if (t > 0) {
            char sep = rng.chance(80) ? ' ' : '\t';
            written += sep + rng.blanks(2);
            plain += sep;
        }
        std::string token = rng.word(VALUE_CHARS + extra, 1, 8);
        if (t == 0 && token[0] == '=') token[0] = 'v';
        written += token;
        plain += token;
    }
}

Generated generate(Rng &rng) {
    Generated g;
    uint32_t sum = 0; // of the keys of the current section, as read back
    uint32_t lines = rng.below(30);
    for (uint32_t i = 0; i < lines; ++i) {
        std::string line;
        uint32_t kind = rng.below(100);
        if (kind < 8) {
            line = rng.blanks(3);
        } else if (kind < 12) {
            line = rng.word("abc ]*", 1, 12);
        } else if (kind < 28) {
            std::string name = rng.word(NAME_CHARS, 0, 6);
            if (rng.chance(3)) name = std::string(76 + rng.below(2), 'n');
            if (rng.chance(5)) name = "S-y-S-t-E-m";
            line = rng.blanks(1) + "[" + rng.blanks(1) + name;
            if (rng.chance(60)) {
                std::string version = rng.word("0123456789.ab", 1, 5);
                if (rng.chance(10)) version = "1 0";
                if (rng.chance(2)) version = std::string(20 + rng.below(2), '9');
                line += " " + rng.blanks(2) + version;
                // A "]" after whitespace belongs to the version.
                if (rng.chance(10)) line += " ]" + rng.word("x]", 0, 2);
            }
            line += "]" + (rng.chance(10) ? std::string(" tail") : std::string());
            sum = 0;
            if (name == "S-y-S-t-E-m" && rng.chance(70)) {
                line += "\nFILENAME = x\nNUMSECTION = " + std::to_string(rng.below(9));
            }
        } else if (kind < 76) {
            std::string key = rng.word(KEY_CHARS, 1, 6);
            if (rng.chance(2)) key = std::string(60 + rng.below(2), 'k');
            std::string written, plain;
            makeValue(rng, rng.chance(1) ? REFUSED : "", written, plain);
            if (rng.chance(1)) {
                written = plain = std::string(4499 + rng.below(3), 'v');
                g.longLines = true;
            }
            line = rng.blanks(1) + key + rng.blanks(2) + (rng.chance(10) ? "==" : "=") +
                   rng.blanks(2) + written + rng.blanks(1);
            sum += profileLineChecksum((key + "=" + plain).c_str(), PROFILE_DEFAULT_TRANSFORM);
        } else if (kind < 94) {
            uint32_t pick = rng.below(100);
            std::string value = std::to_string(static_cast<int32_t>(sum));
            if (pick < 15)
                value = std::to_string(static_cast<int32_t>(rng.next()));
            else if (pick < 25)
                value = "0";
            else if (pick < 30)
                value = "abc";
            else if (pick < 35)
                value = "-99999999999";
            line = "CSUM = " + value;
            if (rng.chance(70)) {
                // The line that the reader exempts from its character rules.
                std::string written, plain;
                makeValue(rng, REFUSED + REFUSED, written, plain);
                std::string key =
                    "L" + std::string(1, rng.from("0123456789")) + rng.word(KEY_CHARS + "<[", 0, 3);
                line += "\n" + key + " = " + written;
                sum += profileLineChecksum((key + "=" + plain).c_str(), PROFILE_DEFAULT_TRANSFORM);
            }
        } else if (kind < 96) {
            line = "L" + std::string(1, rng.from("0123456789")) + " = " + rng.word("ab<[", 1, 4);
        } else if (kind < 98) {
            line = rng.word("abc=[] <>#", 1, 8);
        }
        g.text += line;
        if (i + 1 < lines || rng.chance(70)) g.text += rng.chance(15) ? "\r\n" : "\n";
    }
    return g;
}

// describeWithChecksums() with the damage marks left out.
std::string withoutDamage(std::string d) {
    for (size_t at; (at = d.find("!{")) != std::string::npos;) d.erase(at, 1);
    return d;
}

struct Loaded {
    ProfileFile *file = nullptr;
    uint32_t status = 0;
};

struct RoundTrip : testing::Test {
    TestContext ctx{PROFILE_IO_CALLER};
    MemoryFile scratch;

    Loaded load(const std::string &text, uint32_t openFlags = 0) {
        MemoryFile m{text};
        Loaded l;
        l.status = profileOpenFile(ctx.index, "gen/p.ini", 0, &l.file, openFlags, m.user());
        return l;
    }
    std::string save(ProfileFile *file, uint32_t flags) {
        MemoryFile out;
        file->user = out.user();
        EXPECT_EQ(profileSave(ctx.collector(), file, flags), 0u);
        return out.output;
    }
    void close(ProfileFile *file) { EXPECT_EQ(profileCloseFile(&file, 0, scratch.user()), 0u); }
};

TEST_F(RoundTrip, EveryFileThatLoadsReadsBackTheSame) {
    Rng rng{20240611};
    int files = 10000, loaded = 0, damaged = 0, exempt = 0, emptyName = 0;
    for (int i = 0; i < files; ++i) {
        Generated g = generate(rng);
        Loaded a = load(g.text);
        if (a.status != 0) continue;
        ++loaded;
        std::string original = describeWithChecksums(a.file);
        damaged += original.find("!{") != std::string::npos;
        exempt += original.find_first_of("<>#@?[") != std::string::npos;
        emptyName += original.rfind("/", 0) == 0 || original.find(" /") != std::string::npos;

        struct Variant {
            uint32_t save, open;
        } variants[] = {
            {PROFILE_SAVE_CHECKSUMS, 0},
            {0, 0},
            {PROFILE_SAVE_ENCODE | PROFILE_SAVE_CHECKSUMS, PROFILE_OPEN_FLAG_DECODE},
        };
        for (const Variant &v : variants) {
            if ((v.save & PROFILE_SAVE_ENCODE) && g.longLines) continue;
            std::string saved = save(a.file, v.save);
            Loaded b = load(saved, v.open);
            ASSERT_EQ(b.status, 0u) << "file " << i << " flags " << v.save << ":\n"
                                    << g.text << "\n--- saved:\n"
                                    << saved;
            std::string back = describeWithChecksums(b.file);
            if (v.save & PROFILE_SAVE_CHECKSUMS) {
                EXPECT_EQ(back, original) << "file " << i << ":\n" << g.text << "\n---\n" << saved;
            } else {
                EXPECT_EQ(back, withoutDamage(original)) << "file " << i << ":\n" << g.text;
            }
            // One reserved section, first; and saving again changes nothing.
            std::vector<void *> sections = listElements(b.file->sections);
            ASSERT_FALSE(sections.empty());
            EXPECT_STREQ(profileSectionName(static_cast<ProfileSection *>(sections[0])),
                         "S-y-S-t-E-m");
            EXPECT_EQ(describe(b.file).find("S-y-S-t-E-m", 1), std::string::npos);
            EXPECT_EQ(save(b.file, v.save), saved) << "file " << i << ":\n" << g.text;
            close(b.file);
        }
        close(a.file);
        if (HasFailure()) break;
    }
    // The generator reached what the property is about.
    EXPECT_GT(loaded, files / 3);
    EXPECT_GT(damaged, 50);
    EXPECT_GT(exempt, 50);
    EXPECT_GT(emptyName, 10);
}

} // namespace
