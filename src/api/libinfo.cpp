// The library-information record.  The same function is exported as
// QDKgetLibInfo and RE1DBDADF2C91EAD6b.
#include "frame/frame.h"
#include "kvinit64.h"

#include <cstring>

namespace {
constexpr char LIB_VERSION[] = KVINIT64_VERSION;
constexpr char LIB_PROTOCOL[] = "TCP/IP";
constexpr char LIB_PLATFORM[] = "Win64";
constexpr char LIB_LOCALE[] = "english_united-states";
constexpr size_t LIB_TEXT_BOUND = QDK_LIBINFO_TEXT_SIZE - 1;

// A bounded copy that fills the rest of the bound with zeros.
void copyText(char *field, const char *text) { std::strncpy(field, text, LIB_TEXT_BOUND); }
} // namespace

extern "C" uint32_t QDKgetLibInfo(QDKlibInfoRec *info) {
    return QDMcallFrame([&]() -> uint32_t {
        if (info == nullptr) return QDM_STATUS_BAD_ARGUMENT;
        std::memset(info, 0, sizeof *info);
        copyText(info->version, LIB_VERSION);
        copyText(info->protocol, LIB_PROTOCOL);
        copyText(info->platform, LIB_PLATFORM);
        copyText(info->locale, LIB_LOCALE);
        return QDM_STATUS_OK;
    });
}
