// The updater's sign on a file (platform/posix/updater_flag.h).
#include "platform/posix/updater_flag.h"

#include <cstdint>
#include <fcntl.h>

namespace {

// One byte far past any end of file; no reader of the file ever reads it.
constexpr off_t SIGN_OFFSET = INT64_MAX - 1;

int lockSign(int fd, int command, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = SIGN_OFFSET;
    range.l_len = 1;
    int result = fcntl(fd, command, &range);
    if (command == F_OFD_GETLK) return result == 0 && range.l_type == F_WRLCK ? 1 : 0;
    return result;
}

} // namespace

void platAnnounceUpdater(int fd) { (void)lockSign(fd, F_OFD_SETLK, F_WRLCK); }

void platWithdrawUpdater(int fd) { (void)lockSign(fd, F_OFD_SETLK, F_UNLCK); }

// A read lock asked for conflicts with write locks only: a reader's own
// read lock on that byte shows nothing.
bool platUpdaterPresent(int fd) { return lockSign(fd, F_OFD_GETLK, F_RDLCK) == 1; }
