// The walk to a file's directory. Each name is opened without following it
// (O_PATH | O_NOFOLLOW) from the descriptor of where the walk stands, never
// from a path again, and a link's target is read and walked in its turn:
// so every step is judged before it is taken, and a name swapped behind the
// walk cannot lead it elsewhere.
#include "walk.hpp"

#include "descriptors.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace decode {
namespace {

constexpr int most_links = 40;

// Reads a file of /proc into text, whole where it fits; false if it cannot.
bool read_proc(const char *name, char (&text)[16384])
{
    const descriptor file(open(name, O_RDONLY | O_CLOEXEC));
    std::size_t size = 0;
    for (ssize_t got = 1; got > 0 && size < sizeof text - 1; size += static_cast<std::size_t>(got))
        if ((got = read(file.get(), text + size, sizeof text - 1 - size)) < 0)
            return false;
    text[size] = '\0';
    return true;
}

// The id that stands for every owner or group that the run's user
// namespace does not map; -1 where it maps them all, as the initial one
// does, or where /proc cannot tell. Each line of a map gives the first id
// inside, the first outside and how many.
long overflow_id(const char *map, const char *overflow)
{
    static char text[16384];
    if (!read_proc(map, text))
        return -1;
    unsigned long long mapped = 0;
    char *at = text, *end = nullptr;
    for (int field = 0;; ++field, at = end) {
        const unsigned long long number = std::strtoull(at, &end, 10);
        if (end == at)
            break;
        mapped += field % 3 == 2 ? number : 0;
    }
    return mapped < 0xffffffffULL && read_proc(overflow, text) ? std::strtol(text, nullptr, 10)
                                                               : -1;
}

// The unmapped owner and group, read once.
struct unmapped_ids {
    long owner, group;
};
const unmapped_ids &unmapped()
{
    static unmapped_ids ids{-2, -2};
    if (ids.owner == -2)
        ids = {overflow_id("/proc/self/uid_map", "/proc/sys/kernel/overflowuid"),
               overflow_id("/proc/self/gid_map", "/proc/sys/kernel/overflowgid")};
    return ids;
}

// Why the walk may not go from `from`, a directory or link, to `to`. Whoever
// may write a directory chose what its names lead to, and whoever owns a
// link chose its target: so a step goes out of root's or the caller's own,
// or to what has the same owner, never out of what the user namespace does
// not map, and, where the run could give files away, never out of a
// directory that others may write but for a sticky one such as /tmp.
distrust distrusted(const struct stat &from, const struct stat &to)
{
    if (static_cast<long>(from.st_uid) == unmapped().owner)
        return distrust::unmapped;
    if (privileged() && S_ISDIR(from.st_mode) && (from.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
        (from.st_mode & S_ISVTX) == 0)
        return distrust::writable;
    const bool own = from.st_uid == 0 || from.st_uid == geteuid();
    return own || to.st_uid == from.st_uid ? distrust::none : distrust::other_owner;
}

} // namespace

bool privileged()
{
    static int held = -1;
    if (held < 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
        held = static_cast<int>(geteuid() == 0 || (syscall(SYS_capget, &header, sets) == 0 &&
                                                   (sets[0].effective & (1U << CAP_CHOWN)) != 0));
    }
    return held == 1;
}

walk open_directory(const char *path)
{
    // What is left to walk, at the end of the buffer, each link's target put
    // in front of the rest: the directory part, its last slash included, up
    // to PATH_MAX bytes, and each target at most PATH_MAX bytes and a slash.
    static char rest[(most_links + 1) * (PATH_MAX + 1)];
    // The path walked so far as one would type it, each link given as its
    // target: it names where a refused step left.
    static char walked[sizeof rest + 2];
    std::size_t end = 0;
    walk result;
    const char *const slash = std::strrchr(path, '/');
    result.name = slash == nullptr ? path : slash[1] != '\0' ? slash + 1 : ".";
    const std::size_t length = slash == nullptr ? 0 : static_cast<std::size_t>(slash - path) + 1;
    descriptor here(-1);
    struct stat here_stat {};
    // Where the walk ends: where a step out of left was refused, or, without
    // a reason, at the system's error.
    const auto stop = [&](distrust why, const struct stat &left) {
        result.error = why == distrust::none ? errno : 0;
        walked[end] = '\0';
        result.place = end > 0 ? walked : ".";
        result.refused = why;
        result.left = left;
        return result;
    };
    if (length > PATH_MAX) {
        errno = ENAMETOOLONG;
        return stop(distrust::none, here_stat);
    }
    char *at = rest + sizeof rest - length - 1;
    std::memcpy(at, path, length);
    at[length] = '\0';

    const auto start_at = [&](const char *where) {
        here.reset(open(where, O_PATH | O_DIRECTORY | O_CLOEXEC));
        return stat_opened(here, here_stat);
    };
    if (!start_at(*at == '/' ? "/" : "."))
        return stop(distrust::none, here_stat);
    if (*at == '/')
        walked[end++] = '/';
    int links = 0;
    for (at += std::strspn(at, "/"); *at != '\0'; at += std::strspn(at, "/")) {
        char *const step_end = at + std::strcspn(at, "/");
        const char *const step = at;
        at = *step_end == '/' ? step_end + 1 : step_end;
        *step_end = '\0';
        descriptor next(openat(here.get(), step, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat next_stat {};
        distrust why = distrust::none;
        if (!stat_opened(next, next_stat) ||
            (why = distrusted(here_stat, next_stat)) != distrust::none)
            return stop(why, here_stat);
        if (end > 0 && walked[end - 1] != '/')
            walked[end++] = '/';
        std::memcpy(walked + end, step, static_cast<std::size_t>(step_end - step));
        end += static_cast<std::size_t>(step_end - step);
        // What is neither a directory nor a link fails the next open, with
        // the system's ENOTDIR.
        if (!S_ISLNK(next_stat.st_mode)) {
            here.reset(next.release());
            here_stat = next_stat;
            continue;
        }
        // A second name for a link is one that its owner did not choose.
        if (next_stat.st_nlink > 1)
            return stop(distrust::linked, next_stat);
        char target[PATH_MAX];
        errno = ELOOP;
        const ssize_t size =
            ++links > most_links ? -1 : readlinkat(next.get(), "", target, sizeof target);
        if (size < 0)
            return stop(distrust::none, next_stat);
        // The link leads to "/", or to its own directory, where the walk
        // stands, and so does the path walked.
        const bool absolute = size > 0 && target[0] == '/';
        if ((absolute && !start_at("/")) ||
            (why = distrusted(next_stat, here_stat)) != distrust::none)
            return stop(why, next_stat);
        if (absolute) {
            walked[0] = '/';
            end = 1;
        } else {
            while (end > 0 && walked[end - 1] != '/')
                --end;
            end -= end > 1 ? 1 : 0;
        }
        at -= size + 1;
        std::memcpy(at, target, static_cast<std::size_t>(size));
        at[size] = '/';
    }
    result.dir = openat(here.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return stop(distrust::none, here_stat);
}

bool trusted_file(walk &walked, const struct stat &file)
{
    const unmapped_ids &ids = unmapped();
    walked.refused = static_cast<long>(file.st_uid) == ids.owner   ? distrust::unmapped_uid
                     : static_cast<long>(file.st_gid) == ids.group ? distrust::unmapped_gid
                     : !privileged() && file.st_uid == geteuid()   ? distrust::none
                                                                   : distrusted(walked.left, file);
    return walked.refused == distrust::none;
}

} // namespace decode
