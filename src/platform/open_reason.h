// Why an open of a file failed, in terms the caller can put into words: the
// system's error, a link that the open refused to follow, a lock that another
// process kept, or a kind of file that is not opened.  The platform fills it;
// the caller formats it (the profile component keeps it as the context's
// detail text).
#pragma once

#include <cstddef>

// Longest path part kept for PLAT_WHY_UNTRUSTED_LINK (longer ones are cut).
constexpr size_t PLAT_REASON_WHERE_SIZE = 256;

enum PlatWhy {
    PLAT_WHY_NONE,           // no reason known (or none needed)
    PLAT_WHY_SYSTEM,         // error: an errno value (Windows errors are mapped onto them)
    PLAT_WHY_UNTRUSTED_LINK, // where: the link, as the path reached it
    PLAT_WHY_TOO_MANY_LINKS, // more links than an open follows (40)
    PLAT_WHY_BUSY,           // another process held the update lock for the whole wait
    PLAT_WHY_NOT_REGULAR,    // kind: what the path names instead ("FIFO", "device", ...)
    PLAT_WHY_CHANGING,       // the file kept changing while it was read
};

struct PlatOpenReason {
    PlatWhy why;
    int error;        // PLAT_WHY_SYSTEM
    const char *kind; // PLAT_WHY_NOT_REGULAR: a static text
    char where[PLAT_REASON_WHERE_SIZE];
};

// Records a reason; reason may be null (nothing is recorded then).
void platSetReason(PlatOpenReason *reason, PlatWhy why, int error = 0, const char *kind = nullptr,
                   const char *where = nullptr);
