// The part-by-part walk of a path (platform/posix/path_walk.h).
#include "platform/posix/path_walk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The walk's state: the folder reached, the rest of the path still to
// walk, and the path walked so far (for reasons only).
struct Walk {
    int folder = -1;
    char rest[PATH_MAX];
    size_t at = 0;
    char where[PATH_MAX];
    int links = 0;
};

void closeFd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Starts the walk again from / (an absolute path or link) or keeps the
// folder (a relative one).  False with errno on failure.
bool restartAt(Walk &w, bool absolute) {
    if (!absolute) return true;
    int root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) return false;
    closeFd(w.folder);
    w.folder = root;
    std::strcpy(w.where, "/");
    return true;
}

// Appends a part to the path walked so far (cut when it does not fit).
void appendWhere(char (&where)[PATH_MAX], const char *part) {
    size_t n = std::strlen(where);
    if (n > 0 && where[n - 1] != '/' && n + 1 < sizeof where) where[n++] = '/';
    where[n] = '\0';
    std::strncat(where, part, sizeof where - n - 1);
}

// Replaces the walked part by the link's target: the target followed by
// what came after the link.  False with errno when it does not fit.
bool splice(Walk &w, const char *target, size_t targetLen) {
    const char *after = w.rest + w.at;
    size_t afterLen = std::strlen(after);
    if (targetLen + 1 + afterLen + 1 > sizeof w.rest) {
        errno = ENAMETOOLONG;
        return false;
    }
    char joined[PATH_MAX];
    std::memcpy(joined, target, targetLen);
    size_t n = targetLen;
    if (afterLen > 0) {
        joined[n++] = '/';
        std::memcpy(joined + n, after, afterLen);
        n += afterLen;
    }
    joined[n] = '\0';
    std::memcpy(w.rest, joined, n + 1);
    w.at = 0;
    return true;
}

} // namespace

const char *platKindOf(unsigned mode) {
    switch (mode & S_IFMT) {
    case S_IFDIR:
        return "folder";
    case S_IFIFO:
        return "FIFO";
    case S_IFCHR:
    case S_IFBLK:
        return "device";
    case S_IFSOCK:
        return "socket";
    case S_IFLNK:
        return "symbolic link";
    default:
        return "special file";
    }
}

int platWalkPath(const char *path, PlatWalkRule rule, PlatWalk *out, PlatOpenReason *reason) {
    out->folder = -1;
    out->target = -1;
    out->name[0] = '\0';
    Walk w;
    size_t length = path == nullptr ? 0 : std::strlen(path);
    if (length == 0 || length >= sizeof w.rest) {
        platSetReason(reason, PLAT_WHY_SYSTEM, length == 0 ? ENOENT : ENAMETOOLONG);
        return -1;
    }
    std::memcpy(w.rest, path, length + 1);
    w.where[0] = '\0';
    w.folder = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (w.folder < 0 || !restartAt(w, path[0] == '/')) {
        platSetReason(reason, PLAT_WHY_SYSTEM, errno);
        closeFd(w.folder);
        return -1;
    }
    for (;;) {
        while (w.rest[w.at] == '/') ++w.at;
        if (w.rest[w.at] == '\0') {
            // Nothing after a slash: the path names a folder.
            platSetReason(reason, PLAT_WHY_NOT_REGULAR, 0, "folder");
            break;
        }
        const char *part = w.rest + w.at;
        size_t partLen = std::strcspn(part, "/");
        if (partLen > NAME_MAX) {
            platSetReason(reason, PLAT_WHY_SYSTEM, ENAMETOOLONG);
            break;
        }
        char name[NAME_MAX + 1];
        std::memcpy(name, part, partLen);
        name[partLen] = '\0';
        w.at += partLen;
        const bool last = w.rest[w.at] == '\0';
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            if (last) {
                platSetReason(reason, PLAT_WHY_NOT_REGULAR, 0, "folder");
                break;
            }
            if (name[1] == '\0') continue;
        }
        int child = openat(w.folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
            if (last && errno == ENOENT) {
                // The last part does not exist (yet): a create may make it.
                out->folder = w.folder;
                std::memcpy(out->name, name, partLen + 1);
                return 0;
            }
            platSetReason(reason, PLAT_WHY_SYSTEM, errno);
            break;
        }
        struct stat info {};
        if (fstat(child, &info) != 0) {
            platSetReason(reason, PLAT_WHY_SYSTEM, errno);
            close(child);
            break;
        }
        if (S_ISLNK(info.st_mode)) {
            char linkWhere[PATH_MAX];
            std::memcpy(linkWhere, w.where, sizeof linkWhere);
            appendWhere(linkWhere, name);
            if (++w.links > PLAT_WALK_MAX_LINKS) {
                platSetReason(reason, PLAT_WHY_TOO_MANY_LINKS, ELOOP, nullptr, linkWhere);
                close(child);
                break;
            }
            if (rule == PLAT_WALK_UPDATE && info.st_uid != geteuid() && info.st_uid != 0) {
                platSetReason(reason, PLAT_WHY_UNTRUSTED_LINK, 0, nullptr, linkWhere);
                close(child);
                break;
            }
            // Read through the descriptor: the link whose owner was checked.
            char target[PATH_MAX];
            ssize_t n = readlinkat(child, "", target, sizeof target);
            close(child);
            if (n <= 0 || static_cast<size_t>(n) >= sizeof target) {
                platSetReason(reason, PLAT_WHY_SYSTEM, n < 0 ? errno : ENAMETOOLONG);
                break;
            }
            if (!splice(w, target, static_cast<size_t>(n)) || !restartAt(w, target[0] == '/')) {
                platSetReason(reason, PLAT_WHY_SYSTEM, errno);
                break;
            }
            continue;
        }
        if (last) {
            out->folder = w.folder;
            out->target = child;
            std::memcpy(out->name, name, partLen + 1);
            return 0;
        }
        if (!S_ISDIR(info.st_mode)) {
            platSetReason(reason, PLAT_WHY_SYSTEM, ENOTDIR);
            close(child);
            break;
        }
        closeFd(w.folder);
        w.folder = child;
        appendWhere(w.where, name);
    }
    closeFd(w.folder);
    return -1;
}

int platReopen(int target, int folder, const char *name, int flags) {
    flags |= O_CLOEXEC | O_NOCTTY;
    char proc[48];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", target);
    int fd = open(proc, flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    // No /proc: open the name again, without following a link and without
    // waiting, and keep it only when it is the inode that was checked.
    struct stat was {
    }, now{};
    if (fstat(target, &was) != 0) return -1;
    fd = openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return -1;
    if (fstat(fd, &now) != 0 || now.st_dev != was.st_dev || now.st_ino != was.st_ino) {
        close(fd);
        errno = ESTALE;
        return -1;
    }
    (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
