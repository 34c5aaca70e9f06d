// The library-information record.  The same function is exported as
// QDKgetLibInfo and RE1DBDADF2C91EAD6b: the DLL maps both names to it in its
// module-definition file; in an ELF library the second name is an alias
// defined here, beside the function, so both names are one address and a
// call of either never passes through the symbol table, where another
// module's QDKgetLibInfo could take its place.
#include "diag/safecopy.h"
#include "frame/frame.h"
#include "kvinit64.h"

#include <cstring>

namespace {
constexpr char LIB_VERSION[] = KVINIT64_VERSION;
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

#if defined(__ELF__)
extern "C" KVINIT64_API uint32_t RE1DBDADF2C91EAD6b(QDKlibInfoRec *info)
    __attribute__((alias("QDKgetLibInfo")));
#endif
