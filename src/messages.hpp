// Messages as both programs write them: to a descriptor, or nowhere where
// it would carry them into a file's data, with each name shown so that no
// terminal acts on it.
#pragma once

#include "descriptors.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace decode {

// The descriptor for messages from now on: fd, kept away from file, whose
// data the messages would be written into: -1 where fd is that file.
inline int away_from(int fd, const struct stat &file)
{
    struct stat fd_stat {};
    return fd >= 0 && fstat(fd, &fd_stat) == 0 && same_file(fd_stat, file) ? -1 : fd;
}

// A name as a message shows it: as it stands where it is valid UTF-8 and
// holds no control character; otherwise, since a terminal would act on a
// control (an escape sequence, a line feed that splits the message, a C1
// CSI) and show a stray byte as another character, in the $'...' form of
// bash, zsh and ksh, so that it can be pasted back there. In that form the
// named control characters, backslash and quote are escaped, every other
// byte that is not part of a printable UTF-8 character is in octal, and
// the characters stand as they are.
class shown {
  public:
    explicit shown(const char *name) : text_(name)
    {
        std::size_t length = 0;
        bool plain = true;
        while (name[length] != '\0') {
            const std::size_t size = printable(name + length);
            plain = plain && size > 0;
            length += size > 0 ? size : 1;
        }
        if (plain)
            return;
        // Four bytes for each of the name's own, at most, and four more.
        quoted_ = static_cast<char *>(malloc(4 * length + 4));
        text_ = quoted_ != nullptr ? quote(name, quoted_) : "(a name that cannot be shown)";
    }
    shown(const shown &) = delete;
    shown &operator=(const shown &) = delete;
    ~shown() { free(quoted_); }
    const char *c_str() const { return text_; }

  private:
    // The bytes of the printable character that starts at text, or 0: the
    // well-formed UTF-8 sequences (no overlong form, no surrogate, nothing
    // past U+10FFFF), by their first byte and the range of their second,
    // less the controls: 0x00 to 0x1F, 0x7F, and U+0080 to U+009F (C2 80
    // to C2 9F).
    static std::size_t printable(const char *text)
    {
        static constexpr struct {
            unsigned char first, last, low, high;
            std::size_t size;
        } forms[] = {{0x20, 0x7e, 0, 0xff, 1},    {0xc2, 0xc2, 0xa0, 0xbf, 2},
                     {0xc3, 0xdf, 0x80, 0xbf, 2}, {0xe0, 0xe0, 0xa0, 0xbf, 3},
                     {0xe1, 0xec, 0x80, 0xbf, 3}, {0xed, 0xed, 0x80, 0x9f, 3},
                     {0xee, 0xef, 0x80, 0xbf, 3}, {0xf0, 0xf0, 0x90, 0xbf, 4},
                     {0xf1, 0xf3, 0x80, 0xbf, 4}, {0xf4, 0xf4, 0x80, 0x8f, 4}};
        const auto *const bytes = reinterpret_cast<const unsigned char *>(text);
        for (const auto &form : forms) {
            if (bytes[0] < form.first || bytes[0] > form.last)
                continue;
            if (form.size > 1 && (bytes[1] < form.low || bytes[1] > form.high))
                return 0;
            for (std::size_t at = 2; at < form.size; ++at)
                if ((bytes[at] & 0xc0) != 0x80)
                    return 0;
            return form.size;
        }
        return 0;
    }
    // Writes name's $'...' form to out, which has room for it.
    static const char *quote(const char *name, char *out)
    {
        static constexpr char escapes[] = "\a\b\t\n\v\f\r\\'", letters[] = "abtnvfr\\'";
        const char *const quoted = out;
        *out++ = '$';
        *out++ = '\'';
        while (*name != '\0') {
            const std::size_t size = printable(name);
            if (const char *escape = std::strchr(escapes, *name); escape != nullptr) {
                *out++ = '\\';
                *out++ = letters[escape - escapes];
                ++name;
            } else if (size > 0) {
                std::memcpy(out, name, size);
                out += size;
                name += size;
            } else {
                out += snprintf(out, 5, "\\%03o", static_cast<unsigned char>(*name++));
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
