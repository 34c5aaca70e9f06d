// Temporary names beside a file, shared by every platform: only the
// exclusive create itself is the platform's.
#include "platform/temp_name.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace {

constexpr char HEX[] = "0123456789abcdef";
constexpr size_t HEX_DIGITS = 8;

// Eight hexadecimal digits that differ from call to call and from process to
// process (the counter's address differs between processes where addresses
// are randomised, the clock between any two calls); the exclusive create
// settles any remaining clash.
void nextSuffix(char *out) {
    static std::atomic<uint64_t> counter{0};
    auto now =
        static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    uint64_t x = (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull ^
                 reinterpret_cast<uintptr_t>(&counter) << 16 ^ now;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    for (size_t i = 0; i < HEX_DIGITS; ++i) out[i] = HEX[(x >> (4 * i)) & 15];
    out[HEX_DIGITS] = '\0';
}

} // namespace

int platCreateUnderFreshName(const char *base, char *name, size_t size, PlatCreateFn create,
                             void *context) {
    if (name != nullptr && size > 0) name[0] = '\0';
    if (base == nullptr || name == nullptr || create == nullptr) return -1;
    size_t len = std::strlen(base);
    if (len == 0 || len + PLAT_TEMP_SUFFIX_LEN + 1 > size) return -1;
    for (int attempt = 0; attempt < PLAT_TEMP_NAME_ATTEMPTS; ++attempt) {
        std::memcpy(name, base, len);
        name[len] = '.';
        name[len + 1] = '~';
        nextSuffix(name + len + 2);
        PlatCreateTry result = create(name, context);
        if (result == PLAT_CREATE_DONE) return 0;
        if (result == PLAT_CREATE_FAILED) break;
    }
    name[0] = '\0';
    return -1;
}

bool platIsTempNameOf(const char *base, const char *candidate) {
    if (base == nullptr || candidate == nullptr) return false;
    size_t len = std::strlen(base);
    if (std::strlen(candidate) != len + PLAT_TEMP_SUFFIX_LEN) return false;
    if (std::memcmp(candidate, base, len) != 0 || candidate[len] != '.' ||
        candidate[len + 1] != '~')
        return false;
    for (size_t i = len + 2; i < len + PLAT_TEMP_SUFFIX_LEN; ++i)
        if (std::strchr(HEX, candidate[i]) == nullptr || candidate[i] == '\0') return false;
    return true;
}
