// decode-replace: replaces each FILE by its copy with bit 7 of every byte
// cleared. The copy is made in FILE's directory, given FILE's owner, group,
// extended attributes and mode, flushed to the disk and renamed over FILE in
// one step; where any of that cannot be done, FILE stays as it was. FILE's
// directory is reached by a walk that no other user's directory or link can
// steer, and FILE itself is judged as each step of it is (walk.cpp); once
// the directory is open, every step works on descriptors: anyone who can
// write the directory can swap what a name means between two steps.
#include "descriptors.hpp"
#include "messages.hpp"
#include "translate.hpp"
#include "walk.hpp"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/limits.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using decode::descriptor;
using decode::same_file;
using decode::say;
using decode::shown;
using decode::stat_opened;

// The banner, dots and closing line go to standard output; why a FILE was
// not replaced, to standard error. Either goes nowhere where it is one of
// the FILEs, whose data it would be written into.
int messages = STDOUT_FILENO;
int reasons = STDERR_FILENO;

// The copy's own name while it has one, to be removed if the run fails or
// is ended by a signal: only while the name still leads to the copy, so
// that nothing planted under it is ever removed.
struct {
    int dir = -1; // no name while -1
    char name[40];
    dev_t device;
    ino_t inode;
} temporary;

sigset_t ending_signals; // each that ends the run and that it may catch

// Holds the ending signals back while the temporary name changes.
class signals_held {
  public:
    signals_held() { sigprocmask(SIG_BLOCK, &ending_signals, &saved_); }
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;
    ~signals_held() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

  private:
    sigset_t saved_{};
};

void remove_temporary()
{
    struct stat named {};
    if (temporary.dir >= 0 &&
        fstatat(temporary.dir, temporary.name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == temporary.device && named.st_ino == temporary.inode)
        unlinkat(temporary.dir, temporary.name, 0);
    temporary.dir = -1;
}

// gcov writes its counts at exit, which a process ended by a signal never
// reaches: these lines run, but cannot be counted.
// GCOVR_EXCL_START
void on_ending_signal(int signal)
{
    remove_temporary();
    (void)std::signal(signal, SIG_DFL);
    (void)raise(signal);
}
// GCOVR_EXCL_STOP

// A hidden name in temporary.name, new for each try, and too random for
// anyone to plant first.
const char *fresh_name(unsigned tries)
{
    std::uint64_t random = 0;
    const std::uint64_t bits = (static_cast<std::uint64_t>(getpid()) << 32) + tries +
                               (getrandom(&random, sizeof random, GRND_NONBLOCK) > 0 ? random : 0);
    (void)snprintf(temporary.name, sizeof temporary.name, ".decode-replace.%016llx",
                   static_cast<unsigned long long>(bits));
    return temporary.name;
}

// Marks the name just made in temporary.name as the copy's. With the ending
// signals held, so that none comes between the name's making and this.
void mark_named_copy(int dir, int copy)
{
    struct stat made {};
    (void)fstat(copy, &made);
    temporary.device = made.st_dev;
    temporary.inode = made.st_ino;
    temporary.dir = dir;
}

// What is said of one FILE: its name as given, and whether its banner is
// out, after which a failure ends the dots' line first.
struct file_report {
    const char *path;
    bool banner = false;

    // Says why FILE was not replaced, in the printf way, and returns false.
    // NOLINTNEXTLINE(cert-dcl50-cpp)
    [[gnu::format(printf, 2, 3)]] bool fail(const char *format, ...) const
    {
        if (banner)
            say(messages, "\n");
        va_list args;
        va_start(args, format);
        char *reason = nullptr;
        const int size = vasprintf(&reason, format, args);
        va_end(args);
        say(reasons, "decode-replace: %s: %s\n", shown(path).c_str(), size >= 0 ? reason : format);
        free(reason);
        return false;
    }
};

// Says why the walk to FILE, or its last step, was refused: where, by whom,
// and with the system's error where it failed.
bool refuse(const file_report &report, const decode::walk &walked)
{
    using decode::distrust;
    const shown shown_place(walked.place);
    const char *const place = shown_place.c_str();
    const struct stat &left = walked.left;
    switch (walked.refused) {
    case distrust::other_owner:
        if (const passwd *owner = getpwuid(left.st_uid); owner != nullptr)
            return report.fail("its path leads out of %s, which belongs to user %s, to another "
                               "owner's",
                               place, shown(owner->pw_name).c_str());
        return report.fail("its path leads out of %s, which belongs to user %u, to another owner's",
                           place, static_cast<unsigned>(left.st_uid));
    case distrust::writable:
        return report.fail("its path leads out of %s, which %s may write", place,
                           (left.st_mode & S_IWOTH) == 0   ? "its group"
                           : (left.st_mode & S_IWGRP) == 0 ? "others"
                                                           : "its group and others");
    case distrust::linked:
        return report.fail("its path leads through %s, a symbolic link with %ju hard links", place,
                           static_cast<std::uintmax_t>(left.st_nlink));
    case distrust::unmapped:
        return report.fail("its path leads out of %s, whose owner this user namespace does not map",
                           place);
    case distrust::unmapped_uid:
        return report.fail("its owner is not mapped in this user namespace");
    case distrust::unmapped_gid:
        return report.fail("its group is not mapped in this user namespace");
    case distrust::none:
        break;
    }
    return report.fail("%s", strerror(walked.error));
}

// Why the flags of a file or directory rule it out, or nullptr: the reason
// for an immutable one, or for an append-only one. A file system without
// flags rules out nothing.
const char *flag_refusal(int fd, const char *immutable, const char *append_only)
{
    int flags = 0;
    return ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 ? nullptr
           : (flags & FS_IMMUTABLE_FL) != 0        ? immutable
           : (flags & FS_APPEND_FL) != 0           ? append_only
                                                   : nullptr;
}

// The copy: an unnamed file in FILE's directory, which a kill or a crash
// leaves nothing of, where the file system has them and /proc can give it
// a name at the end (at_proc is then that name). Otherwise a new file under
// a hidden name, removed if the run fails (at_proc is then empty).
int create_copy(int dir, char (&at_proc)[32])
{
    int copy = openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
    (void)snprintf(at_proc, sizeof at_proc, "/proc/self/fd/%d", copy);
    struct stat direct {
    }, through_proc{};
    if (copy >= 0 && fstat(copy, &direct) == 0 && stat(at_proc, &through_proc) == 0 &&
        same_file(direct, through_proc))
        return copy;
    if (copy >= 0)
        close(copy);
    at_proc[0] = '\0';
    const signals_held held;
    copy = -1;
    for (unsigned tries = 0; copy < 0 && (tries == 0 || errno == EEXIST) && tries < 100; ++tries)
        copy = openat(dir, fresh_name(tries), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      S_IRUSR | S_IWUSR);
    if (copy >= 0)
        mark_named_copy(dir, copy);
    return copy;
}

// Gives the copy FILE's extended attributes, exactly: each that FILE lacks,
// such as an ACL from the directory's default ACL, is removed, and each
// that the copy lacks or holds with another value is set. One it already
// holds with FILE's value is left alone, so that a label that the system
// gave it does not stop a user who may not set labels. Says why not, where
// it cannot.
bool keep_attributes(int file, int copy, const file_report &report)
{
    static char names[XATTR_LIST_MAX], value[XATTR_SIZE_MAX], held[XATTR_SIZE_MAX];
    ssize_t size = flistxattr(copy, names, sizeof names);
    for (const char *name = names; size > 0 && name < names + size; name += strlen(name) + 1)
        if (fgetxattr(file, name, nullptr, 0) < 0 && errno == ENODATA &&
            fremovexattr(copy, name) != 0)
            return report.fail("cannot drop the attribute %s from its copy", shown(name).c_str());
    size = flistxattr(file, names, sizeof names);
    if (size < 0 && errno != ENOTSUP)
        return report.fail("%s", strerror(errno));
    for (const char *name = names; size > 0 && name < names + size; name += strlen(name) + 1) {
        const ssize_t length = fgetxattr(file, name, value, sizeof value);
        if (length >= 0 && fgetxattr(copy, name, held, sizeof held) == length &&
            std::memcmp(held, value, static_cast<std::size_t>(length)) == 0)
            continue;
        if (length < 0 || fsetxattr(copy, name, value, static_cast<std::size_t>(length), 0) != 0)
            return report.fail("cannot keep its attribute %s", shown(name).c_str());
    }
    return true;
}

bool same_time(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether FILE's name still leads to the file opened, which nobody has
// written, linked or changed since, and the copy's own name to the copy.
bool unchanged(int dir, const char *name, int file, const struct stat &before, int copy)
{
    struct stat now {
    }, named{}, copy_now{}, copy_named{};
    return fstat(file, &now) == 0 && fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           fstat(copy, &copy_now) == 0 &&
           fstatat(dir, temporary.name, &copy_named, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(named, before) && same_file(copy_named, copy_now) &&
           now.st_size == before.st_size && same_time(now.st_mtim, before.st_mtim) &&
           same_time(now.st_ctim, before.st_ctim);
}

// Replaces one FILE; false, with the reason said, where it stays as it was.
bool replace(const char *path)
{
    file_report report{path};
    decode::walk walked = decode::open_directory(path);
    const descriptor dir(walked.dir);
    if (dir.get() < 0)
        return refuse(report, walked);
    const char *const name = walked.name;
    struct stat named {
    }, before{};
    if (fstatat(dir.get(), name, &named, AT_SYMLINK_NOFOLLOW) != 0)
        return report.fail("%s", strerror(errno));
    // Only a regular file is opened, and without blocking, should a FIFO
    // have taken its name since; then what opened is judged.
    const bool regular = S_ISREG(named.st_mode);
    const descriptor file(
        regular ? openat(dir.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                : -1);
    if (regular && !stat_opened(file, before))
        return report.fail("%s", errno == ELOOP ? "is a symbolic link" : strerror(errno));
    if (S_ISLNK(named.st_mode))
        return report.fail("is a symbolic link");
    if (!regular || !S_ISREG(before.st_mode))
        return report.fail("is not a regular file");
    if (before.st_nlink != 1)
        return report.fail("has %ju hard links", static_cast<std::uintmax_t>(before.st_nlink));
    if (!decode::trusted_file(walked, before))
        return refuse(report, walked);
    // A privileged run's copy of a file with holes would be written whole,
    // and a user's tiny file could fill the disk, root's reserve and all.
    // The probe moves the offset that the pass reads from: it goes back.
    const off_t hole = decode::privileged() ? lseek(file.get(), 0, SEEK_HOLE) : -1;
    if (hole >= 0 && hole < before.st_size)
        return report.fail("has holes, which its copy would fill");
    if (hole > 0)
        (void)lseek(file.get(), 0, SEEK_SET);
    // An immutable or append-only FILE would fail the rename only once it
    // is decoded; a directory that gives up no name would keep the copy's,
    // since the rename would fail, and so would the removal.
    if (const char *flagged = flag_refusal(file.get(), "is immutable", "is append-only"))
        return report.fail("%s", flagged);
    if (const char *flagged =
            flag_refusal(dir.get(), "its directory is immutable", "its directory is append-only"))
        return report.fail("%s", flagged);

    char at_proc[32];
    const descriptor copy(create_copy(dir.get(), at_proc));
    // Whatever ends the run, a named copy goes with it.
    const struct removed_at_end {
        ~removed_at_end()
        {
            const signals_held held;
            remove_temporary();
        }
    } cleanup;
    if (copy.get() < 0)
        return report.fail("%s", strerror(errno));
    // The owner first, which clears set-id bits; then the data, which
    // clears file capabilities; then the attributes and the mode.
    if (fchown(copy.get(), before.st_uid, before.st_gid) != 0)
        return report.fail("%s",
                           errno == EPERM ? "cannot keep its owner and group" : strerror(errno));

    say(messages, "Translating File %s\n", shown(path).c_str());
    report.banner = true;
    if (decode::translate(file.get(), copy.get(), messages).status != decode::outcome::done)
        return report.fail("%s", strerror(errno));
    if (!keep_attributes(file.get(), copy.get(), report))
        return false;
    struct stat made {};
    if (fchmod(copy.get(), before.st_mode & 07777) != 0 || fstat(copy.get(), &made) != 0 ||
        made.st_mode != before.st_mode)
        // Reached by a user outside FILE's group, a run that gcov cannot count.
        return report.fail("cannot keep its mode"); // GCOVR_EXCL_LINE
    if (fsync(copy.get()) != 0)
        return report.fail("%s", strerror(errno));

    // The copy takes FILE's name in one rename; an unnamed one is first
    // linked under a name of its own, since a link cannot replace a name.
    if (at_proc[0] != '\0') {
        const signals_held held;
        int linked = -1;
        for (unsigned tries = 0; linked != 0 && (tries == 0 || errno == EEXIST) && tries < 100;
             ++tries)
            linked = linkat(AT_FDCWD, at_proc, dir.get(), fresh_name(tries), AT_SYMLINK_FOLLOW);
        if (linked != 0)
            return report.fail("%s", strerror(errno));
        mark_named_copy(dir.get(), copy.get());
    }
    if (!unchanged(dir.get(), name, file.get(), before, copy.get()))
        return report.fail("changed while it was decoded");
    {
        const signals_held held;
        if (renameat(dir.get(), temporary.name, dir.get(), name) != 0)
            return report.fail("%s", strerror(errno));
        temporary.dir = -1;
    }
    if (fsync(dir.get()) != 0)
        return report.fail("replaced, but its directory could not be flushed: %s", strerror(errno));
    say(messages, "\nDone!\n");
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    decode::start_process();
    if (argc < 2) {
        say(reasons, "Usage: decode-replace FILE...\n");
        return 2;
    }
    // A signal that ends the run removes the copy's name first: each but
    // those that cannot be caught, and those whose default is to ignore, stop
    // or go on. One that the caller ignores, as nohup does, stays ignored.
    sigemptyset(&ending_signals);
    for (int number = 1; number <= SIGRTMAX; ++number)
        (void)sigaddset(&ending_signals, number);
    for (const int number :
         {SIGKILL, SIGSTOP, SIGCHLD, SIGCONT, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG, SIGWINCH})
        (void)sigdelset(&ending_signals, number);
    struct sigaction ending {};
    ending.sa_handler = on_ending_signal;
    ending.sa_mask = ending_signals;
    for (int number = 1; number <= SIGRTMAX; ++number) {
        struct sigaction old {};
        if (sigismember(&ending_signals, number) == 1 && sigaction(number, nullptr, &old) == 0 &&
            old.sa_handler != SIG_IGN)
            sigaction(number, &ending, nullptr);
    }
    // Messages must not reach the data of a FILE yet to come.
    for (int i = 1; i < argc; ++i) {
        struct stat named {};
        if (lstat(argv[i], &named) == 0) {
            messages = decode::away_from(messages, named);
            reasons = decode::away_from(reasons, named);
        }
    }
    int status = 0;
    for (int i = 1; i < argc; ++i)
        if (!replace(argv[i]))
            status = 1;
    return status;
}
