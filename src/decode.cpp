// decode: writes a copy of a file with bit 7 of every byte cleared, named by
// the path's stem plus ".new", and prints a dot per piece read.
#include "descriptors.hpp"
#include "messages.hpp"
#include "stem.hpp"
#include "translate.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using decode::descriptor;
using decode::same_file;
using decode::say;
using decode::shown;
using decode::stat_opened;

// Messages go to standard output, or nowhere once standard output turns out
// to be the input or the output, where they would be written into the data.
int messages = STDOUT_FILENO;

// Whether a file has an access ACL, whose mask, not the owning group's
// rights, is what the group bits of its mode show.
bool has_acl(int fd)
{
    return fgetxattr(fd, "system.posix_acl_access", nullptr, 0) >= 0;
}

// Creates the output, or opens the one that exists, without truncating it:
// if the name leads back to the input, the input must still be whole when
// we see it. A new copy is made its owner's alone, and opened no further
// than the input lets its readers in (decode(1), OUTPUT FILE): not at all
// where an ACL, whose entries can deny, says who reads; and outside the
// input's group, only to what the input gives its group and everyone.
int open_output(const char *name, int input, const struct stat &input_stat)
{
    const mode_t owner = S_IRUSR | S_IWUSR;
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, owner);
    if (fd < 0)
        return errno == EEXIST ? open(name, O_WRONLY | O_CREAT | O_CLOEXEC, owner) : -1;
    struct stat copy {};
    const bool in_group =
        fstat(fd, &copy) == 0 && (copy.st_gid == input_stat.st_gid ||
                                  fchown(fd, static_cast<uid_t>(-1), input_stat.st_gid) == 0);
    if (has_acl(input) || has_acl(fd))
        return fd;
    const mode_t group = input_stat.st_mode & S_IRWXG & 0660;
    const mode_t others = input_stat.st_mode & S_IRWXO & 0666;
    const mode_t shared = in_group ? group | others : (group & others << 3) | (others & group >> 3);
    const mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd, (owner | shared) & ~mask);
    return fd;
}

} // namespace

int main(int argc, char **argv)
{
    decode::start_process();

    if (argc < 2) {
        say(messages, "You must supply a filename.\n");
        // An empty vector arrives from some kernels as one empty name.
        say(messages, "Usage: %s <filename>\n",
            shown(argc > 0 && *argv[0] != '\0' ? argv[0] : "decode").c_str());
        return 0;
    }
    const char *path = argv[1];

    const descriptor input(open(path, O_RDONLY | O_CLOEXEC));
    struct stat input_stat {};
    if (!stat_opened(input, input_stat) || S_ISDIR(input_stat.st_mode)) {
        say(messages, "Unable to open %s\n", shown(path).c_str());
        return 0;
    }
    messages = decode::away_from(messages, input_stat);

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
    if (!stat_opened(output, output_stat)) {
        say(messages, "Unable to open %s\n", shown(output_name).c_str());
        return 0;
    }
    messages = decode::away_from(messages, output_stat);
    if (same_file(input_stat, output_stat)) {
        say(messages, "Unable to open %s: it is the input file\n", shown(output_name).c_str());
        return 0;
    }
    if (S_ISREG(output_stat.st_mode) && ftruncate(output.get(), 0) != 0) {
        say(messages, "Unable to open %s\n", shown(output_name).c_str());
        return 0;
    }

    say(messages, "Translating File \n");
    const decode::pass_result result = decode::translate(input.get(), output.get(), messages);
    if (result.status == decode::outcome::read_failed) {
        say(messages, "\nError reading %s\n", shown(path).c_str());
        return 1;
    }
    if (result.status == decode::outcome::write_failed || !output.close()) {
        say(messages, "\nError writing %s\n", shown(output_name).c_str());
        return 1;
    }
    say(messages, "\nDone!\n");
    return 0;
}
