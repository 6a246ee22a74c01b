// The walk to a file's directory. Each name is opened without following it
// (O_PATH | O_NOFOLLOW) from the descriptor of where the walk stands, never
// from a path again, and a link's target is read and walked in its turn:
// so every step is judged before it is taken, and a name swapped behind the
// walk cannot lead it elsewhere.
#include "walk.hpp"

#include "descriptors.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace decode {
namespace {

constexpr int most_links = 40;

// Why the walk may not go from `from`, a directory or link, to `to`, or
// nullptr: it goes out of root's or the caller's own, or to what has the
// same owner, so that one user's directory or link never leads into
// another's files. Whoever may write a directory chose what its names lead
// to: so where root runs, a directory that others may write vouches for
// none of them, unless it is sticky (as /tmp is), where each may rename
// only their own.
const char *distrusted(const struct stat &from, const struct stat &to)
{
    const uid_t caller = geteuid();
    if (caller == 0 && from.st_uid == 0 && S_ISDIR(from.st_mode) &&
        (from.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (from.st_mode & S_ISVTX) == 0)
        return writable_step;
    const bool own = from.st_uid == 0 || from.st_uid == caller;
    return own || to.st_uid == from.st_uid ? nullptr : untrusted_step;
}

} // namespace

int open_directory(const char *path, const char *&name, const char *&why)
{
    // What is left to walk, at the end of the buffer, each link's target put
    // in front of the rest: the directory part, its last slash included, up
    // to PATH_MAX bytes, and each target at most PATH_MAX bytes and a slash.
    static char rest[(most_links + 1) * (PATH_MAX + 1)];
    const char *const slash = std::strrchr(path, '/');
    name = slash == nullptr ? path : slash[1] != '\0' ? slash + 1 : ".";
    const std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    const auto failed = [&why](const char *reason) {
        why = reason;
        return -1;
    };
    if (length > PATH_MAX)
        return failed(strerror(ENAMETOOLONG));
    char *at = rest + sizeof rest - length - 1;
    std::memcpy(at, path, length);
    at[length] = '\0';

    descriptor here(-1);
    struct stat here_stat {};
    const auto start_at = [&](const char *where) {
        here.reset(open(where, O_PATH | O_DIRECTORY | O_CLOEXEC));
        return opened(here, here_stat);
    };
    if (!start_at(*at == '/' ? "/" : "."))
        return failed(strerror(errno));
    int links = 0;
    for (at += std::strspn(at, "/"); *at != '\0'; at += std::strspn(at, "/")) {
        char *const end = at + std::strcspn(at, "/");
        const char *const step = at;
        at = *end == '/' ? end + 1 : end;
        *end = '\0';
        descriptor next(openat(here.get(), step, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat next_stat {};
        const char *const refused =
            !opened(next, next_stat) ? strerror(errno) : distrusted(here_stat, next_stat);
        if (refused != nullptr)
            return failed(refused);
        // What is neither a directory nor a link fails the next open, with
        // the system's ENOTDIR.
        if (!S_ISLNK(next_stat.st_mode)) {
            here.reset(next.release());
            here_stat = next_stat;
            continue;
        }
        char target[PATH_MAX];
        errno = ELOOP;
        const ssize_t size =
            ++links > most_links ? -1 : readlinkat(next.get(), "", target, sizeof target);
        if (size < 0)
            return failed(strerror(errno));
        // The link leads to "/", or to its own directory, where the walk stands.
        const char *const unfollowed = size > 0 && target[0] == '/' && !start_at("/")
                                           ? strerror(errno)
                                           : distrusted(next_stat, here_stat);
        if (unfollowed != nullptr)
            return failed(unfollowed);
        at -= size + 1;
        std::memcpy(at, target, static_cast<std::size_t>(size));
        at[size] = '/';
    }
    const int dir = openat(here.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    why = dir < 0 ? strerror(errno) : nullptr;
    return dir;
}

const char *untrusted_file(int dir, const struct stat &file)
{
    const bool own = geteuid() != 0 && file.st_uid == geteuid();
    struct stat dir_stat {};
    return own                          ? nullptr
           : fstat(dir, &dir_stat) != 0 ? strerror(errno)
                                        : distrusted(dir_stat, file);
}

} // namespace decode
