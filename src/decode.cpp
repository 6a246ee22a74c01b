// decode: writes a copy of a file with bit 7 of every byte cleared, named by
// the path's stem plus ".new", and prints a dot per piece read.
#include "stem.hpp"
#include "translate.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Messages go to standard output, or nowhere once standard output turns out
// to be the input or the output, where they would be written into the data.
int messages = STDOUT_FILENO;

// A message that cannot be written is dropped, since the output file is
// what matters. Variadic in the printf way so that the compiler checks each
// format against its arguments.
[[gnu::format(printf, 1, 2)]] void say(const char *format, ...) // NOLINT(cert-dcl50-cpp)
{
    if (messages < 0)
        return;
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    const int size = vasprintf(&text, format, args);
    va_end(args);
    if (size >= 0) {
        decode::write_all(
            messages, {reinterpret_cast<unsigned char *>(text), static_cast<std::size_t>(size)});
        free(text);
    }
}

// Owns a descriptor, so that every early return closes it.
class descriptor {
  public:
    explicit descriptor(int fd) : fd_(fd) {}
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    ~descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    // Closing the output can be the first sign of a full disk, so it is checked.
    bool close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// A closed standard descriptor would be reused by open, and the output file
// opened on descriptor 2 would take whatever the C library or the dynamic
// linker writes to standard error: fill each with /dev/null.
void guard_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0)
            _exit(1); // GCOVR_EXCL_LINE: only a system without /dev/null gets here
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Stats a file just opened; false if it did not open.
bool opened(const descriptor &file, struct stat &file_stat)
{
    return file.get() >= 0 && fstat(file.get(), &file_stat) == 0;
}

// Where standard output is this file, messages would be written into the
// data: they are dropped from now on.
void silence_messages_onto(const struct stat &file)
{
    struct stat stdout_stat {};
    if (fstat(STDOUT_FILENO, &stdout_stat) == 0 && same_file(stdout_stat, file))
        messages = -1;
}

// Whether a file has an access ACL, whose mask, not the owning group's
// rights, is what the group bits of its mode show.
bool has_acl(int fd)
{
    return fgetxattr(fd, "system.posix_acl_access", nullptr, 0) >= 0;
}

// Creates the output, or opens the one that exists, without truncating it:
// if the name leads back to the input, by a link or another spelling, the
// input must still be whole when we see it. A new copy is never more open
// than the input, and its owner can always read and write it. Its group
// gets the input's group's rights once it is the input's group, which an
// owner may give it where they are in that group; in another group, only
// the rights that the input gives everyone as well, so that the data never
// reaches people who could not read the input. Where an ACL decides who
// reads the input, the group gets nothing.
int open_output(const char *name, int input, const struct stat &input_stat)
{
    const mode_t mode = (input_stat.st_mode | S_IRUSR | S_IWUSR) & 0666;
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & ~S_IRWXG);
    if (fd < 0)
        return errno == EEXIST ? open(name, O_WRONLY | O_CREAT | O_CLOEXEC, mode & ~S_IRWXG) : -1;
    struct stat copy {};
    if (fstat(fd, &copy) == 0) {
        const bool in_group = copy.st_gid == input_stat.st_gid ||
                              fchown(fd, static_cast<uid_t>(-1), input_stat.st_gid) == 0;
        const mode_t allowed = in_group ? S_IRWXG : (mode & S_IRWXO) << 3;
        const mode_t group = has_acl(input) ? 0 : mode & S_IRWXG & allowed;
        const mode_t mask = umask(0);
        umask(mask);
        (void)fchmod(fd, (copy.st_mode & 07777) | (group & ~mask));
    }
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    guard_standard_descriptors();
    // A reader of standard output that goes away, or a limit on the size of
    // files, must not end the copy without a word: the write fails instead.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);

    if (argc < 2) {
        say("You must supply a filename.\n");
        // An empty vector arrives from some kernels as one empty name.
        say("Usage: %s <filename>\n", argc > 0 && *argv[0] != '\0' ? argv[0] : "decode");
        return 0;
    }
    const char *path = argv[1];

    const descriptor input(open(path, O_RDONLY | O_CLOEXEC));
    struct stat input_stat {};
    if (!opened(input, input_stat) || S_ISDIR(input_stat.st_mode)) {
        say("Unable to open %s\n", path);
        return 0;
    }
    silence_messages_onto(input_stat);

    const std::string_view stem = decode::stem(path);
    // The input opened, so its path is shorter than PATH_MAX and the output
    // name fits; one cut short would name another file, and is refused.
    const int stem_size = static_cast<int>(stem.size());
    char output_name[PATH_MAX + sizeof ".new"];
    const int name_size =
        snprintf(output_name, sizeof output_name, "%.*s.new", stem_size, stem.data());
    descriptor output(name_size >= 0 && std::size_t(name_size) < sizeof output_name
                          ? open_output(output_name, input.get(), input_stat)
                          : -1);
    struct stat output_stat {};
    if (!opened(output, output_stat)) {
        say("Unable to open %.*s.new\n", stem_size, stem.data());
        return 0;
    }
    silence_messages_onto(output_stat);
    if (same_file(input_stat, output_stat)) {
        say("Unable to open %.*s.new: it is the input file\n", stem_size, stem.data());
        return 0;
    }
    if (S_ISREG(output_stat.st_mode) && ftruncate(output.get(), 0) != 0) {
        say("Unable to open %.*s.new\n", stem_size, stem.data());
        return 0;
    }

    say("Translating File \n");
    const decode::pass_result result = decode::translate(input.get(), output.get(), messages);
    if (result.status == decode::outcome::read_failed) {
        say("\nError reading %s\n", path);
        return 1;
    }
    if (result.status == decode::outcome::write_failed || !output.close()) {
        say("\nError writing %.*s.new\n", stem_size, stem.data());
        return 1;
    }
    say("\nDone!\n");
    return 0;
}
