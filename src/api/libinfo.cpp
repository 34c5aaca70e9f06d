// The library-information record.  The same function is exported as
// QDKgetLibInfo and RE1DBDADF2C91EAD6b.
#include "diag/safecopy.h"
#include "frame/frame.h"
#include "kvinit64.h"

#include <cstring>

namespace {
constexpr char LIB_VERSION[] = "9.5.0.0221";
constexpr char LIB_PROTOCOL[] = "TCP/IP";
constexpr char LIB_PLATFORM[] = "Win64";
constexpr char LIB_LOCALE[] = "english_united-states";

} // namespace

extern "C" uint32_t QDKgetLibInfo(QDKlibInfoRec *info) {
    return QDMcallFrame([&]() -> uint32_t {
        if (info == nullptr) return QDM_STATUS_BAD_ARGUMENT;
        std::memset(info, 0, sizeof *info);
        QDMsafeCopy(info->version, LIB_VERSION, sizeof info->version);
        QDMsafeCopy(info->protocol, LIB_PROTOCOL, sizeof info->protocol);
        QDMsafeCopy(info->platform, LIB_PLATFORM, sizeof info->platform);
        QDMsafeCopy(info->locale, LIB_LOCALE, sizeof info->locale);
        return QDM_STATUS_OK;
    });
}
