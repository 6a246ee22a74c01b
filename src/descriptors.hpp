// Descriptors as both programs handle them: owned, so that every early
// return closes them; the standard three made safe at the start; and
// messages written to one, or dropped where it would carry them into data.
#pragma once

#include "translate.hpp"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
inline bool opened(const descriptor &file, struct stat &file_stat)
{
    return file.get() >= 0 && fstat(file.get(), &file_stat) == 0;
}

// The descriptor for messages from now on: -1 where fd is this file, whose
// data the messages would be written into.
inline int unless_onto(int fd, const struct stat &file)
{
    struct stat fd_stat {};
    return fd >= 0 && fstat(fd, &fd_stat) == 0 && same_file(fd_stat, file) ? -1 : fd;
}

// A name as a message shows it: as it stands, or where it holds a control
// character, which would reach a terminal raw (an escape sequence, a line
// feed that splits the message), in the shell's $'...' form, each control
// byte, backslash and quote escaped, so that it can be pasted back.
class shown {
  public:
    explicit shown(const char *name) : text_(name)
    {
        std::size_t length = 0;
        bool plain = true;
        for (; name[length] != '\0'; ++length)
            plain = plain && !control(name[length]);
        if (plain)
            return;
        quoted_ = static_cast<char *>(malloc(room(length)));
        text_ = quoted_ != nullptr ? quote(name, quoted_) : "(a name that cannot be shown)";
    }
    // Bytes enough for the shown form of a name of length bytes, its
    // terminating zero included: four for each of its own, and four more.
    static constexpr std::size_t room(std::size_t length) { return 4 * length + 4; }
    shown(const shown &) = delete;
    shown &operator=(const shown &) = delete;
    ~shown() { free(quoted_); }
    const char *c_str() const { return text_; }

  private:
    static bool control(char c)
    {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    }
    // Writes name's $'...' form to out, which has room for it.
    static const char *quote(const char *name, char *out)
    {
        static constexpr char escapes[] = "\a\b\t\n\v\f\r\\'", letters[] = "abtnvfr\\'";
        const char *const quoted = out;
        *out++ = '$';
        *out++ = '\'';
        for (; *name != '\0'; ++name) {
            if (const char *escape = std::strchr(escapes, *name); escape != nullptr) {
                *out++ = '\\';
                *out++ = letters[escape - escapes];
            } else if (control(*name)) {
                out += snprintf(out, 5, "\\%03o", static_cast<unsigned char>(*name));
            } else {
                *out++ = *name;
            }
        }
        *out++ = '\'';
        *out = '\0';
        return quoted;
    }

    const char *text_;
    char *quoted_ = nullptr;
};

// Writes a message to fd, or nowhere where fd is -1. A message that cannot
// be written is dropped, since the files are what matter. Variadic in the
// printf way so that the compiler checks each format against its arguments.
// NOLINTNEXTLINE(cert-dcl50-cpp)
[[gnu::format(printf, 2, 3)]] inline void say(int fd, const char *format, ...)
{
    if (fd < 0)
        return;
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    const int size = vasprintf(&text, format, args);
    va_end(args);
    if (size >= 0) {
        write_all(fd, {reinterpret_cast<unsigned char *>(text), static_cast<std::size_t>(size)});
        free(text);
    }
}

} // namespace decode
