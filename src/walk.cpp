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

// Whether the walk may go from `from`, a directory or link, to `to`: out of
// root's or the caller's own, or to what has the same owner, so that one
// user's directory or link never leads into another's files.
bool trusted(const struct stat &from, const struct stat &to)
{
    return from.st_uid == 0 || from.st_uid == geteuid() || to.st_uid == from.st_uid;
}

} // namespace

int open_directory(const char *path, const char *&name, const char *&why)
{
    // What is left to walk, at the end of the buffer, each link's target put
    // in front of the rest: the directory part, which the system takes up to
    // PATH_MAX - 1 bytes long, and each target take at most PATH_MAX bytes
    // and a slash.
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
        if (!opened(next, next_stat) || !trusted(here_stat, next_stat))
            return failed(next.get() < 0 ? strerror(errno) : untrusted_step);
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
        if ((size > 0 && target[0] == '/' && !start_at("/")) || !trusted(next_stat, here_stat))
            return failed(here.get() < 0 ? strerror(errno) : untrusted_step);
        at -= size + 1;
        std::memcpy(at, target, static_cast<std::size_t>(size));
        at[size] = '/';
    }
    const int dir = openat(here.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    why = dir < 0 ? strerror(errno) : nullptr;
    return dir;
}

} // namespace decode
