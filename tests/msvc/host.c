/* A host built the way an MSVC user builds one: compiled with clang-cl for
 * the MSVC target and linked with lld-link against kvinit64.lib, the import
 * library made from the DLL's module-definition file.  It uses no C runtime,
 * only kernel32, so it needs nothing of MSVC's but the linker's format.
 *
 * Fills the library-information record through both export names, checks
 * both records and prints one line per name; exits 0 when all is well. */
#include "kvinit64.h"

typedef void *HANDLE;
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void *data, unsigned long size,
                                              unsigned long *written, void *overlapped);
#define STD_OUTPUT_HANDLE ((unsigned long)-11)

static void put(const char *text) {
    unsigned long size = 0, written = 0;
    while (text[size] != '\0') ++size;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, size, &written, 0);
}

static int sameText(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

/* Fills the record (first spoiled with 0xFF bytes); 1 when it is right. */
static int check(uint32_t (*get)(QDKlibInfoRec *), QDKlibInfoRec *info, const char *name) {
    volatile unsigned char *bytes = (volatile unsigned char *)info;
    unsigned int i;
    for (i = 0; i < sizeof *info; ++i) bytes[i] = 0xFF;
    if (get(info) != QDK_STATUS_OK || info->reserved1 != 0 ||
        !sameText(info->version, KVINIT64_VERSION) || !sameText(info->platform, "Win64")) {
        put(name);
        put(": wrong record\n");
        return 0;
    }
    for (i = 0; i < sizeof info->reserved2; ++i)
        if (info->reserved2[i] != 0) return 0;
    put(name);
    put(": kvinit64 ");
    put(info->version);
    put(" ");
    put(info->platform);
    put("\n");
    return 1;
}

void hostMain(void) {
    QDKlibInfoRec first, second;
    unsigned int i;
    int ok = check(QDKgetLibInfo, &first, "QDKgetLibInfo") &&
             check(RE1DBDADF2C91EAD6b, &second, "RE1DBDADF2C91EAD6b");
    for (i = 0; ok && i < sizeof first; ++i)
        if (((unsigned char *)&first)[i] != ((unsigned char *)&second)[i]) ok = 0;
    if (ok && QDKgetLibInfo(0) != QDK_STATUS_BAD_ARGUMENT) ok = 0;
    ExitProcess(ok ? 0 : 1);
}
