// The public header as a C++98 host sees it (-std=c++98 -pedantic -Werror):
// it compiles without static_assert, the record has the documented layout,
// and a call through the linked library fills it.
#include "kvinit64.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {
// C++98 has no static_assert: a negative array size stops the build.
typedef char check_size[sizeof(QDKlibInfoRec) == 164 ? 1 : -1];
typedef char check_locale_at[offsetof(QDKlibInfoRec, locale) == 100 ? 1 : -1];
} // namespace

int main() {
    QDKlibInfoRec info;
    std::memset(&info, 0xFF, sizeof info);
    uint32_t status = RE1DBDADF2C91EAD6b(&info);
    if (status != QDK_STATUS_OK || std::strcmp(info.version, KVINIT64_VERSION) != 0) {
        std::fprintf(stderr, "status %lu\n", static_cast<unsigned long>(status));
        return 1;
    }
    for (std::size_t i = 0; i < sizeof info.reserved2; ++i)
        if (info.reserved2[i] != 0) return 1;
    std::printf("C++98 host: kvinit64 %s\n", info.version);
    return 0;
}
