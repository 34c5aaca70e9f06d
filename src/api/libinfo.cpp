// The library-information record.  The same function is exported as
// QDKgetLibInfo and RE1DBDADF2C91EAD6b: the DLL maps both names to it in its
// module-definition file; in an ELF library the second name is an alias
// defined here, beside the function, so both names are one address and a
// call of either never passes through the symbol table, where another
// module's QDKgetLibInfo could take its place.
#include "frame/frame.h"
#include "kvinit64.h"

#include <cstddef>
#include <cstring>

namespace {
constexpr char LIB_VERSION[] = KVINIT64_VERSION;
constexpr char LIB_PROTOCOL[] = "TCP/IP";
// The platform of the build the host has loaded: the DLL has always said
// "Win64"; the Linux library names its own platform, so that a host that
// shows or logs the record never reports a Windows build it does not have.
#if defined(_WIN32)
constexpr char LIB_PLATFORM[] = "Win64";
#else
constexpr char LIB_PLATFORM[] = "Linux64";
#endif
constexpr char LIB_LOCALE[] = "english_united-states";

// Copies at most QDK_LIBINFO_TEXT_SIZE - 1 characters of text into a field
// that is all zeros, so the field ends with a zero byte, as QDMsafeCopy
// would fill it.
constexpr void putText(char (&field)[QDK_LIBINFO_TEXT_SIZE], const char *text) {
    for (size_t i = 0; i + 1 < QDK_LIBINFO_TEXT_SIZE && text[i] != '\0'; ++i) field[i] = text[i];
}

constexpr QDKlibInfoRec makeLibInfo() {
    QDKlibInfoRec info{}; // every byte zero, the reserved fields included
    putText(info.version, LIB_VERSION);
    putText(info.protocol, LIB_PROTOCOL);
    putText(info.platform, LIB_PLATFORM);
    putText(info.locale, LIB_LOCALE);
    return info;
}

// The record never changes, so it is made once, when compiling, and each call
// copies its 164 bytes whole: filling it field by field (a zero fill and a
// bounded copy for each text) was some 40 % of the call's instructions.
// Chosen for speed.
constexpr QDKlibInfoRec LIB_INFO = makeLibInfo();

} // namespace

extern "C" uint32_t QDKgetLibInfo(QDKlibInfoRec *info) {
    return QDMcallFrame([&]() -> uint32_t {
        if (info == nullptr) return QDM_STATUS_BAD_ARGUMENT;
        std::memcpy(info, &LIB_INFO, sizeof *info);
        return QDM_STATUS_OK;
    });
}

#if defined(__ELF__)
extern "C" KVINIT64_API uint32_t RE1DBDADF2C91EAD6b(QDKlibInfoRec *info)
    __attribute__((alias("QDKgetLibInfo")));
#endif
