// Failure points, for libfiu's fiu-run, in the calls that its POSIX library
// does not wrap and decode-replace makes: preloaded after that library, so
// that a test can fail each of them in the unchanged program. A point's
// failinfo is the errno it fails with (EIO where there is none).
#define FIU_ENABLE 1
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <dlfcn.h>
#include <fcntl.h>
#include <fiu.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// True where the point is enabled and fails this call, errno set.
bool failing(const char *point)
{
    if (fiu_fail(point) == 0)
        return false;
    const auto info = reinterpret_cast<std::intptr_t>(fiu_failinfo());
    errno = info != 0 ? static_cast<int>(info) : EIO;
    return true;
}

// The next definition of the function that this one stands in for.
template <typename function> function *next(function * /*type*/, const char *name)
{
    return reinterpret_cast<function *>(dlsym(RTLD_NEXT, name));
}

} // namespace

#define FAILING(type, point, name, parameters, arguments)                                          \
    extern "C" type name parameters noexcept                                                       \
    {                                                                                              \
        return failing(point) ? -1 : next(&name, #name) arguments;                                 \
    }

FAILING(int, "posix/io/owner/fchown", fchown, (int fd, uid_t owner, gid_t group),
        (fd, owner, group))
FAILING(ssize_t, "linux/io/xattr/flistxattr", flistxattr, (int fd, char *names, size_t size),
        (fd, names, size))
FAILING(int, "linux/io/xattr/fsetxattr", fsetxattr,
        (int fd, const char *name, const void *value, size_t size, int flags),
        (fd, name, value, size, flags))
FAILING(int, "linux/io/xattr/fremovexattr", fremovexattr, (int fd, const char *name), (fd, name))
FAILING(int, "posix/io/dir/linkat", linkat,
        (int from_dir, const char *from, int to_dir, const char *to, int flags),
        (from_dir, from, to_dir, to, flags))
FAILING(int, "posix/io/dir/renameat", renameat,
        (int from_dir, const char *from, int to_dir, const char *to), (from_dir, from, to_dir, to))

// An open of a file relative to a directory (openat, which is openat64
// where file offsets are 64-bit): FILE's, or the copy's. A step of a path's
// walk (O_PATH) and the open of a directory it reached are left alone. Its
// mode comes only with the flags that create.
extern "C" int openat64(int dir, const char *name, int flags, ...)
{
    mode_t mode = 0;
    const bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    if (creates) {
        va_list rest;
        va_start(rest, flags);
        mode = va_arg(rest, mode_t);
        va_end(rest);
    }
    const bool of_a_file = (flags & O_PATH) == 0 && (creates || (flags & O_DIRECTORY) == 0);
    return of_a_file && failing("posix/io/oc/openat")
               ? -1
               : next(&openat64, "openat64")(dir, name, flags, mode);
}

// A directory's fsync alone, beside libfiu's posix/io/sync/fsync for all.
extern "C" int fsync(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode) && failing("posix/io/sync/fsync/dir"))
        return -1;
    return next(&fsync, "fsync")(fd);
}
