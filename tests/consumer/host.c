/* A host linked with an installed kvinit64: prints the library information
 * under both export names and exits 0 when both records are right. */
#include <kvinit64.h>
#include <stdio.h>
#include <string.h>

static int show(uint32_t (*get)(QDKlibInfoRec *), const char *name, QDKlibInfoRec *info) {
    uint32_t status = get(info);
    printf("%s: status %lu, kvinit64 %s on %s\n", name, (unsigned long)status, info->version,
           info->platform);
    return status == QDK_STATUS_OK && strcmp(info->version, KVINIT64_VERSION) == 0;
}

int main(void) {
    QDKlibInfoRec a, b;
    int ok = show(QDKgetLibInfo, "QDKgetLibInfo", &a) &&
             show(RE1DBDADF2C91EAD6b, "RE1DBDADF2C91EAD6b", &b) && memcmp(&a, &b, sizeof a) == 0;
    return ok ? 0 : 1;
}
