// The kernels that read a text in blocks read only the bytes they are
// given.  Each text here lies right before a page the process may not read,
// or right after one, so a read past either end stops the test.  The wide
// kernels read with masked and whole-block loads, which the address
// sanitizer does not see; this is what shows them.
#include "profile/checksum.h"
#include "profile/format.h"
#include "profile/limits.h"
#include "profile/line_functions.h"
#include "profile/linecodec.h"
#include "profile/linescan.h"
#include "support/kernel_sets.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

using KernelReads = KernelSetTest;
INSTANTIATE_TEST_SUITE_P(Kernels, KernelReads,
                         testing::Values("scalar", "sse2", "ssse3", "avx2", "avx512"),
                         kernelParamName);

// Readable pages between two pages that cannot be read.
class GuardedPages {
  public:
    GuardedPages() {
#if defined(_WIN32)
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        size_ = (TEXT_ROOM + page_ - 1) / page_ * page_;
        auto *base = static_cast<char *>(
            VirtualAlloc(nullptr, total(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        ok_ = base != nullptr && VirtualProtect(base, page_, PAGE_NOACCESS, &old) &&
              VirtualProtect(base + page_ + size_, page_, PAGE_NOACCESS, &old);
#else
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_ = (TEXT_ROOM + page_ - 1) / page_ * page_;
        void *mapped =
            mmap(nullptr, total(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        auto *base = mapped == MAP_FAILED ? nullptr : static_cast<char *>(mapped);
        ok_ = base != nullptr && mprotect(base, page_, PROT_NONE) == 0 &&
              mprotect(base + page_ + size_, page_, PROT_NONE) == 0;
#endif
        base_ = base;
    }
    ~GuardedPages() {
        if (base_ == nullptr) return;
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, total());
#endif
    }
    GuardedPages(const GuardedPages &) = delete;
    GuardedPages &operator=(const GuardedPages &) = delete;

    bool ok() const { return ok_; }
    // The text copied to end right before the second guard page.
    const char *atEnd(const std::string &text) {
        char *at = base_ + page_ + size_ - text.size();
        std::memcpy(at, text.data(), text.size());
        return at;
    }
    // The text copied to start right after the first guard page.
    const char *atStart(const std::string &text) {
        char *at = base_ + page_;
        std::memcpy(at, text.data(), text.size());
        return at;
    }

  private:
    static constexpr size_t TEXT_ROOM = PROFILE_LINE_SIZE; // the longest text
    size_t total() const { return size_ + 2 * page_; }
    char *base_ = nullptr;
    size_t page_ = 0;
    size_t size_ = 0; // the readable bytes, whole pages
    bool ok_ = false;
};

// Text of `length` bytes: letters, digits, blanks and signs, with bytes from
// 0x80 up where `wide` is set.
std::string randomText(std::mt19937 &rng, size_t length, bool wide) {
    static const char common[] = "abcdefghijklmnopqrstuvwxyz0123456789 _=.,/";
    std::uniform_int_distribution<size_t> pick(0, sizeof common - 2);
    std::uniform_int_distribution<int> high(0x80, 0xFF);
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += wide && i % 7 == 3 ? static_cast<char>(high(rng)) : common[pick(rng)];
    return text;
}

// Every length around the block sizes of the kernels (16, 32 and 64 bytes,
// the 128 of a short checksum text), and some longer.
std::vector<size_t> lengths() {
    std::vector<size_t> out;
    for (size_t n = 0; n <= 200; ++n) out.push_back(n);
    for (size_t n : {255u, 256u, 257u, 1000u, 4400u}) out.push_back(n);
    return out;
}

TEST_P(KernelReads, ChecksumReadsOnlyItsText) {
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    std::mt19937 rng(7);
    for (size_t length : lengths()) {
        const std::string text = randomText(rng, length, length % 2 == 1);
        const uint32_t expected = profileTextChecksum(text.data(), length, 42);
        EXPECT_EQ(profileTextChecksum(pages.atEnd(text), length, 42), expected) << length;
        EXPECT_EQ(profileTextChecksum(pages.atStart(text), length, 42), expected) << length;
    }
}

TEST_P(KernelReads, PlainLineScanAndSplitReadOnlyTheLine) {
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    std::mt19937 rng(11);
    for (size_t length : lengths()) {
        if (length < 3 || length >= PROFILE_LINE_SIZE) continue;
        // "name=value" and its line feed, or cut before the line feed.
        std::string line = "k=" + randomText(rng, length - 3, false) + "\n";
        for (bool cut : {false, true}) {
            const std::string bytes = cut ? line.substr(0, line.size() - 1) : line;
            const char *at = pages.atEnd(bytes);
            size_t lineLength = 0;
            ProfileLineScan scan{};
            const bool found = profileScanPlainLine(at, bytes.size(), &lineLength, &scan);
            EXPECT_TRUE(!found || (!cut && lineLength == line.size())) << length << cut;
            ProfileKeySpan key{}, expected{};
            const std::string text = line.substr(0, line.size() - 1);
            const bool split = profileSplitPlainKey(pages.atEnd(text), text.size(), &key);
            EXPECT_EQ(split, profileSplitPlainKey(text.data(), text.size(), &expected)) << length;
            EXPECT_EQ(key.valueLength, expected.valueLength) << length;
        }
    }
}

TEST_P(KernelReads, LineDecodingReadsOnlyTheStoredLine) {
    GuardedPages pages;
    ASSERT_TRUE(pages.ok());
    std::mt19937 rng(13);
    std::vector<char> out(PROFILE_LINE_SIZE);
    for (size_t length : lengths()) {
        if (length == 0 || length > 4000) continue;
        const std::string plain = randomText(rng, length, length % 3 == 0) + "\n";
        std::vector<char> encoded(PROFILE_ENCODE_SIZE);
        ASSERT_EQ(defaultEncodeLine(plain.c_str(), encoded.data(), PROFILE_ENCODE_SIZE,
                                    PROFILE_DEFAULT_TRANSFORM, 0),
                  0u)
            << length;
        const std::string stored = encoded.data(); // with its line feed
        const size_t end = stored.size() - 1;

        // Found in a block that ends with the line, and in one cut before
        // its line feed.
        size_t lineLength = 0, plainLength = 0;
        EXPECT_EQ(lineCodecDecodeNext(pages.atEnd(stored), stored.size(), out.data(),
                                      PROFILE_LINE_SIZE, PROFILE_DEFAULT_TRANSFORM, &lineLength,
                                      &plainLength),
                  0u)
            << length;
        EXPECT_EQ(lineLength, stored.size()) << length;
        EXPECT_EQ(std::string(out.data(), plainLength), plain) << length;
        lineCodecDecodeNext(pages.atEnd(stored.substr(0, end)), end, out.data(), PROFILE_LINE_SIZE,
                            PROFILE_DEFAULT_TRANSFORM, &lineLength, &plainLength);
        EXPECT_EQ(lineLength, 0u) << length;

        // Its body alone, the end known, under the default transform
        // parameter and another.
        EXPECT_EQ(lineCodecDecode(pages.atEnd(stored.substr(0, end)), end, out.data(),
                                  PROFILE_LINE_SIZE, PROFILE_DEFAULT_TRANSFORM, &plainLength),
                  0u)
            << length;
        EXPECT_EQ(std::string(out.data(), plainLength), plain) << length;
        ASSERT_EQ(defaultEncodeLine(plain.c_str(), encoded.data(), PROFILE_ENCODE_SIZE, 99, 0), 0u);
        const std::string other = encoded.data();
        EXPECT_EQ(lineCodecDecode(pages.atEnd(other.substr(0, other.size() - 1)), other.size() - 1,
                                  out.data(), PROFILE_LINE_SIZE, 99, &plainLength),
                  0u)
            << length;
        EXPECT_EQ(std::string(out.data(), plainLength), plain) << length;
    }
}

} // namespace
