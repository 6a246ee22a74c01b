// Descriptors as both programs handle them: owned, so that every early
// return closes them, written to in full, and the standard three made safe
// at the start.
#pragma once

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

namespace decode {

// Owns a descriptor, so that every early return closes it.
class descriptor {
  public:
    explicit descriptor(int fd) : fd_(fd) {}
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    ~descriptor() { reset(-1); }
    int get() const { return fd_; }
    // Owns fd instead, and closes the one it held.
    void reset(int fd)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Gives the descriptor up, to be owned elsewhere.
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closing an output can be the first sign of a full disk, so it is checked.
    bool close() { return ::close(release()) == 0; }

  private:
    int fd_;
};

// A closed standard descriptor would be reused by open, and a file opened
// on descriptor 2 would take whatever the C library or the dynamic linker
// writes to standard error: each is filled with /dev/null. A reader of
// standard output that goes away, or a limit on the size of files, must not
// end a run without a word: the write fails instead.
inline void start_process()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0)
            _exit(1); // GCOVR_EXCL_LINE: only a system without /dev/null gets here
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
}

inline bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Stats a file just opened; false if it did not open.
inline bool stat_opened(const descriptor &file, struct stat &file_stat)
{
    return file.get() >= 0 && fstat(file.get(), &file_stat) == 0;
}

// Writes all of data, through short writes and interruptions. Where fd is
// non-blocking, as a standard output shared with a caller may be, it waits
// until fd takes more instead of failing.
inline bool write_all(int fd, std::span<const unsigned char> data)
{
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written > 0) {
            // Not subspan, which a build with library assertions would make
            // call into the C++ runtime.
            data = {data.data() + written, data.size() - static_cast<std::size_t>(written)};
            continue;
        }
        pollfd writable{fd, POLLOUT, 0};
        if (written == 0 || (errno != EINTR && (errno != EAGAIN || poll(&writable, 1, -1) < 0)))
            return false;
    }
    return true;
}

} // namespace decode
