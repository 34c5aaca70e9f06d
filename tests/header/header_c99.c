/* The public header as a C99 host sees it (-std=c99 -pedantic -Werror): it
 * compiles, its record has the documented layout, and a call through the
 * linked library fills the record under both export names. */
#include "kvinit64.h"
#include "kvinit64.h" /* a second include is harmless */

#include <stdio.h>
#include <string.h>

/* The layout, checked again here with this file's own offsets. */
typedef char check_size[sizeof(QDKlibInfoRec) == 164 ? 1 : -1];
typedef char check_version_at[offsetof(QDKlibInfoRec, version) == 4 ? 1 : -1];
typedef char check_reserved2_at[offsetof(QDKlibInfoRec, reserved2) == 132 ? 1 : -1];
typedef char check_status_type[sizeof(QDKgetLibInfo(NULL)) == 4 ? 1 : -1];

static int fill(uint32_t (*get)(QDKlibInfoRec *), QDKlibInfoRec *info, const char *name) {
    uint32_t status;
    memset(info, 0xFF, sizeof *info);
    status = get(info);
    if (status != QDK_STATUS_OK || strcmp(info->version, KVINIT64_VERSION) != 0 ||
        info->reserved1 != 0) {
        fprintf(stderr, "%s: status %lu, version \"%.31s\"\n", name, (unsigned long)status,
                info->version);
        return 1;
    }
    return 0;
}

int main(void) {
    QDKlibInfoRec first, second;
    if (fill(QDKgetLibInfo, &first, "QDKgetLibInfo") != 0) return 1;
    if (fill(RE1DBDADF2C91EAD6b, &second, "RE1DBDADF2C91EAD6b") != 0) return 1;
    if (memcmp(&first, &second, sizeof first) != 0) {
        fprintf(stderr, "the two export names fill different records\n");
        return 1;
    }
    if (QDKgetLibInfo(NULL) != QDK_STATUS_BAD_ARGUMENT) return 1;
    printf("C99 host: kvinit64 %s (%d.%d.%d.%d)\n", first.version, KVINIT64_VERSION_MAJOR,
           KVINIT64_VERSION_MINOR, KVINIT64_VERSION_PATCH, KVINIT64_VERSION_BUILD);
    return 0;
}
