// Crash-safe rewrite on POSIX systems: exclusive create, fsync, rename, and
// an fsync of the folder so that the rename itself survives a power cut.
#include "platform/replace.h"

#include "platform/fault.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int TEMP_NAME_ATTEMPTS = 100;

// Eight hexadecimal digits that differ from call to call and from process to
// process; the exclusive create settles any remaining clash.
void nextSuffix(char *out) {
    static std::atomic<uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = counter.fetch_add(1) * 0x9E3779B97F4A7C15ull ^
                 static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(now.tv_nsec) ^
                 static_cast<uint64_t>(now.tv_sec) << 20;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) out[i] = hex[(x >> (4 * i)) & 15];
    out[8] = '\0';
}

// The file that a rewrite of path replaces: path itself, or, when path is a
// symbolic link, the file it leads to, so that the link stays a link.  False
// when the resolved path does not fit.
bool resolveTarget(const char *path, char (&out)[PATH_MAX]) {
    struct stat info {};
    if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode) && realpath(path, out) != nullptr)
        return true;
    size_t n = strlen(path);
    if (n >= sizeof out) return false;
    memcpy(out, path, n + 1);
    return true;
}

// Syncs the folder that holds path, so that a rename in it is durable.
int syncFolder(const char *path) {
    const char *slash = strrchr(path, '/');
    char folder[4096];
    if (slash == nullptr) {
        strcpy(folder, ".");
    } else if (slash == path) {
        strcpy(folder, "/");
    } else {
        size_t n = static_cast<size_t>(slash - path);
        if (n >= sizeof folder) return -1;
        memcpy(folder, path, n);
        folder[n] = '\0';
    }
    if (platFaultHit(PLAT_FAULT_FILE_SYNC)) return -1;
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    close(fd);
    return rc == 0 ? 0 : -1;
}

} // namespace

int platCreateTempBeside(const char *target, char *tempPath, size_t size, FILE **stream) {
    if (stream != nullptr) *stream = nullptr;
    if (target == nullptr || tempPath == nullptr || stream == nullptr) return -1;
    char resolved[PATH_MAX];
    if (!resolveTarget(target, resolved)) return -1;
    target = resolved;
    size_t len = strlen(target);
    if (len == 0 || len + PLAT_TEMP_SUFFIX_LEN + 1 > size) return -1;
    if (platFaultHit(PLAT_FAULT_FILE_TEMP)) return -1;

    struct stat targetInfo {};
    bool keepMode = stat(target, &targetInfo) == 0 && S_ISREG(targetInfo.st_mode);
    for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
        memcpy(tempPath, target, len);
        tempPath[len] = '.';
        tempPath[len + 1] = '~';
        nextSuffix(tempPath + len + 2);
        int fd = open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        // The replacement keeps the stored file's permissions; a failure here
        // only leaves the usual ones of a new file.
        if (keepMode) (void)fchmod(fd, targetInfo.st_mode & 07777);
        FILE *f = fdopen(fd, "wb");
        if (f == nullptr) {
            close(fd);
            unlink(tempPath);
            break;
        }
        *stream = f;
        return 0;
    }
    tempPath[0] = '\0';
    return -1;
}

int platSyncFile(FILE *stream) {
    if (stream == nullptr) return -1;
    if (fflush(stream) != 0) return -1;
    if (platFaultHit(PLAT_FAULT_FILE_SYNC)) return -1;
    return fsync(fileno(stream)) == 0 ? 0 : -1;
}

PlatReplace platReplaceFile(const char *temp, const char *target) {
    if (temp == nullptr || target == nullptr) return PLAT_REPLACE_UNCHANGED;
    char resolved[PATH_MAX];
    if (!resolveTarget(target, resolved)) return PLAT_REPLACE_UNCHANGED;
    target = resolved;
    if (platFaultHit(PLAT_FAULT_FILE_RENAME)) return PLAT_REPLACE_UNCHANGED;
    if (rename(temp, target) != 0) return PLAT_REPLACE_UNCHANGED;
    // Every reader now sees the new file; a failed folder sync only leaves
    // the rename's durability across a power cut unconfirmed.
    (void)syncFolder(target);
    return PLAT_REPLACE_DONE;
}

int platRemoveFile(const char *path) {
    if (path == nullptr) return -1;
    return unlink(path) == 0 ? 0 : -1;
}
