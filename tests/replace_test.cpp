// decode-replace's end-to-end cases, one table: what a user sees of the
// built program and of every file beside FILE, run by the harness in
// run_harness.hpp.
#include "model.hpp"
#include "run_harness.hpp"

#include <map>
#include <sys/mount.h>
#include <sys/xattr.h>

namespace {

// AddressSanitizer's runtime, like qemu-user, needs /proc.
#ifdef __SANITIZE_ADDRESS__
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// What a user can tell of a file but its times: its kind, mode, owner,
// group and extended attributes; its inode; its bytes, or where it links.
struct seen_file {
    std::string meta;
    ino_t inode = 0;
    std::string data;
    bool operator==(const seen_file &) const = default;
};

// Every file under dir, by its path from dir, links not followed.
std::map<std::string, seen_file> snapshot(const fs::path &dir)
{
    std::map<std::string, seen_file> files;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        const std::string path = entry.path().string();
        struct stat status {};
        EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
        std::string meta = std::to_string(status.st_mode) + " " + std::to_string(status.st_uid) +
                           ":" + std::to_string(status.st_gid);
        std::map<std::string, std::string> attributes;
        static char names[65536], value[65536];
        const ssize_t size = llistxattr(path.c_str(), names, sizeof names);
        for (const char *name = names; size > 0 && name < names + size; name += strlen(name) + 1)
            attributes[name] =
                std::string(value, static_cast<std::size_t>(std::max<ssize_t>(
                                       lgetxattr(path.c_str(), name, value, sizeof value), 0)));
        for (const auto &[name, bytes] : attributes)
            meta += " " + name + "=" + bytes;
        std::string data;
        if (S_ISLNK(status.st_mode))
            data = fs::read_symlink(entry.path());
        else if (S_ISREG(status.st_mode))
            data = {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()),
                    {}};
        files[entry.path().lexically_relative(dir)] = {meta, status.st_ino, data};
    }
    return files;
}

// The files that differ between two snapshots, and how.
std::string differences(const std::map<std::string, seen_file> &expected,
                        const std::map<std::string, seen_file> &seen)
{
    std::string text;
    for (const auto &[path, file] : expected) {
        const auto now = seen.find(path);
        if (now == seen.end())
            text += path + ": gone\n";
        else if (now->second.meta != file.meta)
            text += path + ": " + file.meta + " became " + now->second.meta + "\n";
        else if (now->second.inode != file.inode || now->second.data != file.data)
            text += path + ": another file, or other bytes (" +
                    std::to_string(now->second.data.size()) + ")\n";
    }
    for (const auto &[path, file] : seen)
        if (expected.count(path) == 0)
            text += path + ": new\n";
    return text;
}
const std::string notes = "j.doe/notes.txt";
// What a run shows of FILE, as a message shows its name.
const auto banner = [](const std::string &path) { return "Translating File " + path + "\n"; };
const auto done_on = [](const std::string &path) { return banner(path) + "...\nDone!\n"; };
const auto refused = [](const std::string &path, const std::string &reason) {
    return "decode-replace: " + path + ": " + reason + "\n";
};
const auto failed = [](const std::string &reason) {
    return banner(notes) + "...\n" + refused(notes, reason);
};
const std::string feeds(300000, '\n'); // more dots than a pipe holds
const auto feeds_done = [](const std::string &path) {
    return banner(path) + std::string(300000, '.') + "\nDone!\n";
};
const std::string no_feeds(200000, '\xE9');
const std::string owned = "chown -R 65534:65534 j.doe && ";
// A system file, sys/prog, that a user's directory or link must not lead to.
const std::string system_file = "mkdir sys && cp \"$FILE\" sys/prog && ";
// Why a step out of place was refused: it is another user's, or others may
// write it.
const auto untrusted = [](const std::string &place, const std::string &user) {
    return "its path leads out of " + place + ", which belongs to user " + user +
           ", to another owner's";
};
const auto writable = [](const std::string &place, const std::string &who) {
    return "its path leads out of " + place + ", which " + who + " may write";
};
const std::string deep = [] { // a directory part as long as the system takes
    std::string path = "j.doe";
    while (path.size() + 2 < PATH_MAX)
        path += "/.";
    return path;
}();
// cap_net_raw in the permitted and effective sets.
const std::string capability =
    "setfattr -n security.capability -v 0x0100000200200000000000000000000000000000 \"$FILE\"";
// Runs its command as root of a new user namespace, with a map written from
// outside that keeps id 0 and maps 1 to 65535 to host ids 100001 and on:
// every other host id reads there as the overflow id.
const std::string in_namespace =
    "unshare --user sh -c 'kill -STOP $$ && exec \"$@\"' sh \"$@\" & "
    "until grep -q '^State:.*stopped' /proc/$!/status; do sleep 0.01; done && "
    "printf '0 0 1\\n1 100001 65535\\n' >/proc/$!/uid_map && "
    "printf '0 0 1\\n1 100001 65535\\n' >/proc/$!/gid_map && kill -CONT $! && wait $!";
const std::string attributes = "setfacl -m u:daemon:r \"$FILE\" && setfattr -n user.note -v kept "
                               "\"$FILE\" && setfacl -d -m u:daemon:rw j.doe";

// A case, named (and shown by gtest) for what it guards: those that need
// libfiu are Failing*, without /proc WithoutProc*, from "/" FromRoot*.
struct replace_case {
    std::string name;
    std::vector<std::string> args = {"j.doe/notes.txt"}; // "$PWD/" is the test's directory
    std::string prepare{};               // shell, in the test's directory; FILE is $FILE
    std::vector<std::string> faults{};   // fiu-run's commands
    std::string output = done_on(notes); // "$PWD/" is the test's directory
    int status = 0;
    std::vector<std::string> replaced = {"j.doe/notes.txt"};
    std::string file = "j.doe/notes.txt"; // made with content, mode 0644
    std::string content = three_lines;
    std::string user{}; // setpriv's options for uid 65534: groups, capabilities
    setup how{};
    int signal = 0;          // sent once its dots fill the pipe,
    std::string meanwhile{}; // or this shell command run then
    bool terminal = false;   // its standard input is a terminal
    bool no_proc = false;    // /proc is missing
    bool tmpfs = false;      // FILE's directory is a small tmpfs of its own
    bool from_root = false;  // its walk goes through "/" to the test's directory
    bool root = false;       // root's rules, played with the caller's own files
};
void PrintTo(const replace_case &row, std::ostream *out)
{
    *out << row.name;
}

// clang-format off
const replace_case table[] = {
    {.name = "ReplacesAFile"},
    {.name = "NameWithALeadingDash", .args = {"-notes.txt"}, .output = done_on("-notes.txt"),
     .replaced = {"-notes.txt"}, .file = "-notes.txt"},
    {.name = "NameWithALineFeed", .args = {"j.doe/new\nline.txt"},
     .output = done_on("$'j.doe/new\\nline.txt'"), .replaced = {"j.doe/new\nline.txt"},
     .file = "j.doe/new\nline.txt"},
    {.name = "NameThatIsAPattern", .args = {"j.doe/notes[1].txt"},
     .prepare = "cp \"$FILE\" j.doe/notes1.txt", .output = done_on("j.doe/notes[1].txt"),
     .replaced = {"j.doe/notes[1].txt"}, .file = "j.doe/notes[1].txt"},
    {.name = "RefusesAFifo", .args = {"j.doe/fifo"}, .prepare = "mkfifo j.doe/fifo",
     .output = refused("j.doe/fifo", "is not a regular file"), .status = 1, .replaced = {}},
    {.name = "RefusesADirectory", .args = {"j.doe/"},
     .output = refused("j.doe/", "is not a regular file"), .status = 1, .replaced = {}},
    {.name = "MissingFileShownQuoted", .args = {"j.doe/gone\033[2J.txt", "j.doe/gone/notes.txt"},
     .output = refused("$'j.doe/gone\\033[2J.txt'", "No such file or directory") +
               refused("j.doe/gone/notes.txt", "No such file or directory"),
     .status = 1, .replaced = {}},
    {.name = "UsageWithoutAFile", .args = {}, .output = "Usage: decode-replace FILE...\n",
     .status = 2, .replaced = {}},
    {.name = "RefusesAFileWithHardLinks", .prepare = "ln \"$FILE\" j.doe/other.txt",
     .output = refused(notes, "has 2 hard links"), .status = 1, .replaced = {}},
    {.name = "RefusesALinkAmongOthers", .args = {"j.doe/a.txt", "j.doe/link", notes},
     .prepare = "cp \"$FILE\" j.doe/a.txt && ln -s notes.txt j.doe/link",
     .output = done_on("j.doe/a.txt") + refused("j.doe/link", "is a symbolic link") +
               done_on(notes),
     .status = 1,
     .replaced = {"j.doe/a.txt", notes}},
    {.name = "NoMessagesNotEvenBeforeAStandardOutputThatIsAFile", .args = {"j.doe/a.txt", notes},
     .prepare = "cp \"$FILE\" j.doe/a.txt", .output = "", .replaced = {"j.doe/a.txt", notes},
     .how = {.stdout_to = notes, .stdout_flags = O_APPEND}},
    {.name = "KilledLeavesFileWhole", .status = -1, .replaced = {}, .content = feeds,
     .signal = SIGKILL},
    {.name = "RefusesAFileWrittenWhileDecoded",
     .output = banner(notes) + std::string(300001, '.') + "\n" +
               refused(notes, "changed while it was decoded"),
     .status = 1, .replaced = {}, .content = feeds, .meanwhile = "printf '\\301\\n' >>\"$FILE\""},
    {.name = "RootKeepsAUsersOwnerModeAndAttributesAmongLinks",
     .prepare = "chown 65534:100 \"$FILE\" && chmod 6754 \"$FILE\" && " + capability + " && " +
                attributes + " && chown 65534 j.doe && echo x >secret && "
                "ln -s ../secret j.doe/notes.new && ln -s ../secret j.doe/.decode-replace.0", .root = true},
    {.name = "RefusesAGroupTheUserIsNotIn", .prepare = owned + "chgrp 100 \"$FILE\"",
     .output = refused(notes, "cannot keep its owner and group"), .status = 1, .replaced = {},
     .user = "--clear-groups"},
    // With holes, which an ordinary user's copy may fill.
    {.name = "UserKeepsSetGroupId",
     .prepare = "chown -R 65534:100 j.doe && chmod 2775 \"$FILE\" && truncate -s 1M \"$FILE\"",
     .output = banner(notes) +
               std::string(model_pieces(three_lines + std::string((1 << 20) - three_lines.size(), '\0')), '.') +
               "\nDone!\n",
     .user = "--groups=100"},
    {.name = "RefusesASetGroupIdThatTheSystemDrops",
     .prepare = "chown -R 65534:100 j.doe && chmod 2777 j.doe && chmod 2755 \"$FILE\"",
     .output = failed("cannot keep its mode"), .status = 1, .replaced = {},
     .user = "--clear-groups"},
    {.name = "RefusesACapabilityTheUserCannotSet", .prepare = owned + capability,
     .output = failed("cannot keep its attribute security.capability"), .status = 1,
     .replaced = {}, .user = "--clear-groups"},
    {.name = "ReadOnlyFileOnATerminal", .prepare = owned + "chmod 444 \"$FILE\"",
     .output = "Translating File " + notes + "\r\n...\r\nDone!\r\n", .user = "--clear-groups", .terminal = true},
    {.name = "FullDisk",
     .output = banner(notes) + "\n" + refused(notes, "No space left on device"), .status = 1,
     .replaced = {}, .content = no_feeds, .tmpfs = true},
    {.name = "RefusesAReadOnlyFileSystemEvenToRoot", .prepare = "mount -o remount,ro j.doe",
     .output = refused(notes, "Read-only file system"), .status = 1, .replaced = {}, .tmpfs = true},
    {.name = "WithoutProcTheCopyHasANameOfItsOwn", .no_proc = true},
    {.name = "WithoutProcSigtermRemovesTheCopy", .status = -1, .replaced = {}, .content = feeds,
     .signal = SIGTERM, .no_proc = true},
    {.name = "WithoutProcSigxcpuRemovesTheCopy", .status = -1, .replaced = {}, .content = feeds,
     .signal = SIGXCPU, .no_proc = true},
    {.name = "WithoutProcSigrtmaxRemovesTheCopy", .status = -1, .replaced = {}, .content = feeds,
     .signal = SIGRTMAX, .no_proc = true},
    {.name = "WithoutProcTheCopyIsPrivateWhileWritten",
     .output = feeds_done(notes), .content = feeds,
     .meanwhile = "test \"$(stat -c %a j.doe/.decode-replace.*)\" = 600", .no_proc = true},
    {.name = "SighupIgnoredByNohupStaysIgnored", .output = feeds_done(notes), .content = feeds,
     .how = {.wrapper = {"nohup"}}, .signal = SIGHUP},
    {.name = "WithoutProcSigwinchLeavesTheRunAlone", .output = feeds_done(notes), .content = feeds,
     .signal = SIGWINCH, .no_proc = true},
    {.name = "RefusesAnAppendOnlyDirectory", .prepare = "chattr +a j.doe",
     .output = refused(notes, "its directory is append-only"), .status = 1, .replaced = {},
     .tmpfs = true},
    {.name = "RefusesAnImmutableDirectory", .prepare = "chattr +i j.doe",
     .output = refused(notes, "its directory is immutable"), .status = 1, .replaced = {},
     .tmpfs = true},
    {.name = "RefusesAnAppendOnlyFile", .prepare = "chattr +a \"$FILE\"",
     .output = refused(notes, "is append-only"), .status = 1, .replaced = {}, .tmpfs = true},
    {.name = "RefusesAnImmutableFile", .prepare = "chattr +i \"$FILE\"",
     .output = refused(notes, "is immutable"), .status = 1, .replaced = {}, .tmpfs = true},
    // A user's links out of their own files, planted or swapped in during the run.
    {.name = "RefusesAUsersAbsoluteLink", .args = {"j.doe/d/prog"},
     .prepare = system_file + "chown 65534 j.doe && ln -s \"$PWD/sys\" j.doe/d && "
                "chown -h 65534 j.doe/d",
     .output = refused("j.doe/d/prog", untrusted("j.doe/d", "nobody")), .status = 1,
     .replaced = {}, .root = true},
    // In a sticky directory, root's own is root's and a user's file the
    // user's; a link of uid 1234, whom the system cannot name, is theirs.
    {.name = "RefusesAUsersLinkInAStickyDirectory",
     .args = {"tmp/own/notes.txt", "tmp/mine.txt", "tmp/d/prog"},
     .prepare = system_file + "mkdir -m 1777 tmp && mkdir tmp/own && cp \"$FILE\" tmp/mine.txt && "
                "chown 65534 tmp/mine.txt && mv \"$FILE\" tmp/own && ln -s ../sys tmp/d && "
                "chown -h 1234 tmp/d",
     .output = done_on("tmp/own/notes.txt") + done_on("tmp/mine.txt") +
               refused("tmp/d/prog", untrusted("tmp/d", "1234")),
     .status = 1, .replaced = {"tmp/own/notes.txt", "tmp/mine.txt"}, .root = true},
    {.name = "RefusesLinksSwappedInDuringTheRun", .args = {"j.doe/d/notes.txt", "j.doe/d/prog"},
     .prepare = system_file + "mkdir j.doe/d && mv \"$FILE\" j.doe/d && chown -R 65534 j.doe",
     .output = feeds_done("j.doe/d/notes.txt") +
               refused("j.doe/d/prog", untrusted("j.doe", "nobody")),
     .status = 1, .replaced = {"j.doe/away/notes.txt"}, .content = feeds,
     .meanwhile = "mv j.doe/d j.doe/away && ln -s e j.doe/d && ln -s ../sys j.doe/e && "
                  "chown -h 65534 j.doe/d j.doe/e", .root = true},
    {.name = "RefusesRootsProgramMovedIntoAUsersDirectory",
     .prepare = "chmod 4755 \"$FILE\" && chown 65534 j.doe",
     .output = refused(notes, untrusted("j.doe", "nobody")), .status = 1, .replaced = {},
     .root = true},
    // A second name for root's link, which any user may make where the
    // kernel's protected_hardlinks is 0.
    {.name = "RefusesALinkWithASecondHardLink", .args = {"tmp/alice/prog"},
     .prepare = system_file + "mkdir -m 700 usr && ln -s ../sys usr/link && mkdir -m 1777 tmp && "
                "ln -P usr/link tmp/alice",
     .output = refused("tmp/alice/prog",
                       "its path leads through tmp/alice, a symbolic link with 2 hard links"),
     .status = 1, .replaced = {}, .root = true},
    {.name = "RefusesAStepOutOfRootsDirectoryThatOthersMayWrite", .args = {"pub/incoming/prog"},
     .prepare = "mkdir -m 757 pub && mkdir pub/incoming && mv \"$FILE\" pub/incoming/prog",
     .output = refused("pub/incoming/prog", writable("pub", "others")), .status = 1,
     .replaced = {}, .root = true},
    // A refused step names what it leaves as the walk reached it, each link
    // given as its target.
    {.name = "FromRootNamesWhereTheWalkStoppedThroughLinks",
     .args = {"j.doe/l/incoming/prog", "j.doe/a/incoming/prog"},
     .prepare = "mkdir -m 757 pub && mkdir pub/incoming && mv \"$FILE\" pub/incoming/prog && "
                "ln -s ../pub j.doe/l && ln -s \"$PWD/pub\" j.doe/a",
     .output = refused("j.doe/l/incoming/prog", writable("j.doe/../pub", "others")) +
               refused("j.doe/a/incoming/prog", writable("$PWD/pub", "others")),
     .status = 1, .replaced = {}, .from_root = true, .root = true},
    // A service that may give files away, as systemd's AmbientCapabilities=
    // lets one, is held to root's rules.
    {.name = "RefusesACapableServiceAStepOutOfADirectoryThatOthersMayWrite",
     .args = {"pub/conf/notes.txt"},
     .prepare = "mkdir -m 777 pub && mkdir pub/conf && mv \"$FILE\" pub/conf",
     .output = refused("pub/conf/notes.txt", writable("pub", "its group and others")),
     .status = 1, .replaced = {},
     .user = "--clear-groups --inh-caps=+chown,+dac_override,+fowner "
             "--ambient-caps=+chown,+dac_override,+fowner"},
    {.name = "RefusesAFileInRootsGroupWritableDirectory", .prepare = "chmod 2775 j.doe",
     .output = refused(notes, writable("j.doe", "its group")), .status = 1, .replaced = {},
     .root = true},
    {.name = "RefusesAStepOutOfAGroupWritableWorkingDirectory", .args = {"d/notes.txt"},
     .prepare = "mkdir j.doe/d && mv \"$FILE\" j.doe/d && chmod 2775 j.doe",
     .output = refused("d/notes.txt", writable(".", "its group")), .status = 1, .replaced = {},
     .how = {.wrapper = {"sh", "-c", "cd j.doe && exec \"$0\" \"$@\""}}, .root = true},
    // Whoever may write a user's directory chose what its names are: here
    // a member of the project's group moved its private tree onto data.
    {.name = "RefusesUsersDirectoriesThatTheirGroupMayWrite",
     .args = {notes, "proj/data/report.txt"},
     .prepare = "chown -R 65534:100 j.doe && chmod 2775 j.doe && mkdir -m 2775 proj && "
                "mkdir -m 700 proj/data && cp \"$FILE\" proj/data/report.txt && "
                "chmod 600 proj/data/report.txt && chown -R 1234:100 proj",
     .output = refused(notes, writable("j.doe", "its group")) +
               refused("proj/data/report.txt", writable("proj", "its group")),
     .status = 1, .replaced = {}, .root = true},
    // A user's tiny file with holes would fill the disk, root's reserve and
    // all, as its copy is written whole.
    {.name = "RefusesAFileWithHolesToAPrivilegedRun", .prepare = "truncate -s 1M \"$FILE\"",
     .output = refused(notes, "has holes, which its copy would fill"), .status = 1,
     .replaced = {}, .tmpfs = true},
    // Host uids 3 and 4 are not mapped in the namespace of the run, whose
    // root is host root; both read as the overflow uid.
    {.name = "RefusesWhatTheUserNamespaceDoesNotMap",
     .args = {"own/notes.txt", "own/group.txt", "j.doe/sub/notes.txt"},
     .prepare = "unshare --user true && mkdir own j.doe/sub && cp \"$FILE\" j.doe/sub && "
                "cp \"$FILE\" own/group.txt && mv \"$FILE\" own && chown 4:4 own/notes.txt && "
                "chgrp 4 own/group.txt && chown -R 3:3 j.doe",
     .output = refused("own/notes.txt", "its owner is not mapped in this user namespace") +
               refused("own/group.txt", "its group is not mapped in this user namespace") +
               refused("j.doe/sub/notes.txt",
                       "its path leads out of j.doe, whose owner this user namespace does not map"),
     .status = 1, .replaced = {},
     .how = {.wrapper = {"sh", "-c", in_namespace, "sh"}}, .root = true},
    {.name = "UsersOwnFilesInRootsSharedAndAnotherUsersDirectories",
     .args = {"shared/mine/a.txt", "other/b.txt"},
     .prepare = "mkdir -m 2775 shared other && chgrp 100 shared other && chown 1234 other && "
                "mkdir shared/mine && cp \"$FILE\" shared/mine/a.txt && "
                "mv \"$FILE\" other/b.txt && chown -R 65534:65534 shared/mine other/b.txt",
     .output = done_on("shared/mine/a.txt") + done_on("other/b.txt"), .replaced = {"shared/mine/a.txt", "other/b.txt"},
     .user = "--groups=100"},
    {.name = "ALinkThatMoreOfThePathFollowsNotItsNamesake", .args = {"j.doe/l/sub/n.txt"},
     .prepare = "mkdir -p j.doe/real/sub && cp \"$FILE\" j.doe/real/sub/n.txt && "
                "mv \"$FILE\" j.doe/real/n.txt && ln -s real j.doe/l",
     .output = done_on("j.doe/l/sub/n.txt"), .replaced = {"j.doe/real/sub/n.txt"}},
    {.name = "AUsersOwnTreeAndLink", .args = {"j.doe//d/./../d/notes.txt"},
     .prepare = "mkdir j.doe/real && mv \"$FILE\" j.doe/real && ln -s real j.doe/d && "
                "chown -hR 65534 j.doe",
     .output = done_on("j.doe//d/./../d/notes.txt"), .replaced = {"j.doe/real/notes.txt"},
     .root = true},
    {.name = "FromRootRootsLinkOnAnAbsolutePath", .args = {"$PWD/run/notes.txt"},
     .prepare = "ln -s \"$PWD/j.doe\" run", .output = done_on("$PWD/run/notes.txt"),
     .from_root = true},
    {.name = "FromRootTheCallersOwnAbsoluteLink", .args = {"mine/notes.txt"},
     .prepare = owned + "ln -s \"$PWD/j.doe\" mine && chown -h 65534 mine",
     .output = done_on("mine/notes.txt"), .user = "--clear-groups", .from_root = true},
    {.name = "AtMost40LinksAndNoFileForADirectory",
     .args = {"j.doe/l39/notes.txt", "j.doe/l40/notes.txt", "j.doe/notes.txt/x"},
     .prepare = "cd j.doe && ln -s . l0 && for i in $(seq 40); do ln -s l$((i - 1)) l$i; done",
     .output = done_on("j.doe/l39/notes.txt") + refused("j.doe/l40/notes.txt", "Too many levels of symbolic links") +
               refused("j.doe/notes.txt/x", "Not a directory"),
     .status = 1},
    {.name = "ADirectoryPartAsLongAsTheSystemTakes",
     .args = {deep + "/notes.txt", deep + "//notes.txt"},
     .output = done_on(deep + "/notes.txt") + refused(deep + "//notes.txt", "File name too long"),
     .status = 1},
    {.name = "FailingFchown", .faults = {"enable name=posix/io/owner/fchown,failinfo=1"},
     .output = refused(notes, "cannot keep its owner and group"), .status = 1, .replaced = {}},
    {.name = "FailingFsetxattr", .prepare = attributes,
     .faults = {"enable name=linux/io/xattr/fsetxattr"},
     .output = failed("cannot keep its attribute system.posix_acl_access"), .status = 1,
     .replaced = {}},
    {.name = "FailingFsetxattrNotNeededForAnInheritedAcl",
     .prepare = "setfacl -m u:daemon:rw,m::-,o::- \"$FILE\" && "
                "setfacl -d -m u:daemon:rw,g::r,o::- j.doe",
     .faults = {"enable name=linux/io/xattr/fsetxattr"}},
    {.name = "FailingFremovexattr", .prepare = "setfacl -d -m u:daemon:rw j.doe",
     .faults = {"enable name=linux/io/xattr/fremovexattr"},
     .output = failed("cannot drop the attribute system.posix_acl_access from its copy"),
     .status = 1, .replaced = {}},
    {.name = "FailingFlistxattr", .prepare = attributes,
     .faults = {"enable name=linux/io/xattr/flistxattr,failinfo=5"},
     .output = failed("Input/output error"), .status = 1, .replaced = {}},
    {.name = "FailingOpen", .faults = {"enable name=posix/io/oc/openat,failinfo=13"},
     .output = refused(notes, "Permission denied"), .status = 1, .replaced = {}},
    {.name = "FailingOpenOnALinkThatTookTheNameLate",
     .faults = {"enable name=posix/io/oc/openat,failinfo=40"},
     .output = refused(notes, "is a symbolic link"), .status = 1, .replaced = {}},
    // Once, so that gcov's at exit works.
    {.name = "FailingOpenThatStartsTheWalk",
     .faults = {"enable name=posix/io/oc/open,failinfo=24,onetime"},
     .output = refused(notes, "Too many open files"), .status = 1, .replaced = {}},
    {.name = "FailingFsetxattrOfANameShownQuoted",
     .prepare = "setfattr -n \"$(printf 'user.\\033]0;x\\007')\" -v 1 \"$FILE\"",
     .faults = {"enable name=linux/io/xattr/fsetxattr"},
     .output = failed("cannot keep its attribute $'user.\\033]0;x\\a'"), .status = 1,
     .replaced = {}},
    {.name = "FailingRead", .faults = {"enable name=posix/io/rw/read,failinfo=5"},
     .output = banner(notes) + "\n" + refused(notes, "Input/output error"), .status = 1,
     .replaced = {}},
    {.name = "FailingFsync", .faults = {"enable name=posix/io/sync/fsync,failinfo=5"},
     .output = failed("Input/output error"), .status = 1, .replaced = {}},
    {.name = "FailingLinkat", .faults = {"enable name=posix/io/dir/linkat,failinfo=28"},
     .output = failed("No space left on device"), .status = 1, .replaced = {}},
    {.name = "FailingLinkatOnceTriesAnotherName",
     .faults = {"enable name=posix/io/dir/linkat,failinfo=17,onetime"}},
    {.name = "FailingRename", .faults = {"enable name=posix/io/dir/renameat,failinfo=5"},
     .output = failed("Input/output error"), .status = 1, .replaced = {}},
    {.name = "FailingDirectoryFlushIsNoSuccess",
     .faults = {"enable name=posix/io/sync/fsync/dir,failinfo=5"},
     .output = failed("replaced, but its directory could not be flushed: Input/output error"),
     .status = 1},
};
// clang-format on

// Why a row needs root as its caller, or nullptr.
const char *root_for(const replace_case &row)
{
    return row.no_proc || row.tmpfs ? "to mount"
           : !row.user.empty()      ? "to run the program as another user"
           : row.root ? "whose rules it checks: another caller's own files stand for root's"
                      : nullptr;
}

// The rows that need root as their caller, or those that do not, so that
// each kind is named apart: AsRoot/ and Table/.
std::vector<replace_case> rows(bool as_root)
{
    std::vector<replace_case> chosen;
    for (const replace_case &row : table)
        if ((root_for(row) != nullptr) == as_root)
            chosen.push_back(row);
    return chosen;
}

// The fixture of decode-replace's cases, each run with a row of the table.
class DecodeReplace : public Decode, public testing::WithParamInterface<replace_case> {};

} // namespace

// decode-replace replaces each FILE by its decoded copy in one rename,
// keeping its owner, group, mode and attributes, or refuses and leaves it as
// it was. Either way no other file is written, given away or removed, and
// nothing is left beside it, whatever fails and whoever runs it. Rows with
// a user run as uid 65534 with those groups.
TEST_P(DecodeReplace, ReplacesAFileInOneSafeStep)
{
    const replace_case &row = GetParam();
    // The program, where the other user can run it.
    const std::string program = (dir_ / "decode-replace").string();
    fs::copy_file(REPLACE_BINARY, program);
    fs::permissions(dir_, fs::perms(0711));
    std::string needs =
        root_for(row) != nullptr && geteuid() != 0 ? std::string("root, ") + root_for(row)
        : row.terminal && !on_path("script")       ? "script (util-linux)"
        : row.no_proc && (!emulator.empty() || sanitized)
            ? "a build that runs without /proc: not under qemu-user or AddressSanitizer"
        : row.from_root && !emulator.empty()
            ? "a build not under qemu-user, which opens \"/\" as its sysroot (-L)"
            : "";
    if (needs.empty() && !row.user.empty())
        needs = without_another_user();
    if (needs.empty() && !row.faults.empty())
        needs = FIU_CALLS[0] == '\0'
                    ? "libfiu's header and library (Debian's libfiu-dev) at build time"
                    : without_faults();
    if (!needs.empty())
        GTEST_SKIP() << "needs " << needs;
    // Shell commands run in the test's directory, under umask 022 whatever
    // the caller's: what they make, as j.doe, only its owner may write.
    const std::string in_dir = "cd '" + dir_.string() + "' && umask 022 && ";
    fs::create_directory(dir_ / "j.doe");
    fs::permissions(dir_ / "j.doe", fs::perms(0755));
    const struct unmounted_at_end {
        std::string path;
        ~unmounted_at_end()
        {
            if (!path.empty())
                umount(path.c_str());
        }
    } small{row.tmpfs ? (dir_ / "j.doe").string() : ""};
    if (row.tmpfs) {
        ASSERT_EQ(mount("decode-test", small.path.c_str(), "tmpfs", 0, "size=256k"), 0);
    }
    put(row.file, row.content);
    fs::permissions(dir_ / row.file, fs::perms(0644));
    setenv("FILE", row.file.c_str(), 1);
    if (!row.prepare.empty() && std::system((in_dir + row.prepare + " 2>&1").c_str()) != 0)
        GTEST_SKIP() << "cannot be prepared (" << row.prepare
                     << "): it needs setfacl and setfattr, and a TMPDIR that takes ACLs and "
                        "attributes, or user namespaces";
    const auto before = snapshot(dir_);
    const auto here = [this](std::string text) {
        for (std::size_t at; (at = text.find("$PWD")) != std::string::npos;)
            text.replace(at, 4, dir_.string());
        return text;
    };

    std::vector<std::string> words;
    if (row.no_proc)
        words = {"unshare", "-m", "sh", "-c", "mount -t tmpfs no-proc /proc && exec \"$0\" \"$@\""};
    if (!row.user.empty())
        words = as_nobody(row.user);
    if (!row.faults.empty()) {
        words.insert(words.end(), {"fiu-run", "-x", "-f", ""});
        for (const std::string &command : row.faults)
            words.insert(words.end(), {"-c", command});
        words.insert(words.end(),
                     {"sh", "-c", "LD_PRELOAD=\"$LD_PRELOAD $0\" exec \"$@\"", FIU_CALLS});
    }
    std::vector<std::string> runs = emulator;
    runs.push_back(program);
    for (const std::string &arg : row.args)
        runs.push_back(here(arg));
    if (row.terminal) {
        std::string line;
        for (const std::string &word : runs)
            line += "'" + word + "' ";
        runs = {"script", "-qec", line, "/dev/null"};
    }
    words.insert(words.end(), runs.begin(), runs.end());
    words.insert(words.begin(), row.how.wrapper.begin(), row.how.wrapper.end());
    setup how = row.how;
    how.command = words;
    const running child = start({}, how);
    auto expected = before;
    if (row.signal != 0 || !row.meanwhile.empty()) {
        EXPECT_TRUE(output_full(child));
        if (row.signal != 0) {
            kill(child.pid, row.signal);
        } else {
            EXPECT_EQ(std::system((in_dir + row.meanwhile).c_str()), 0);
            expected = snapshot(dir_);
            // The copy under its hidden name must be gone when the run ends.
            std::erase_if(expected, [&](const auto &file) {
                return before.count(file.first) == 0 &&
                       file.first.find("/.decode-replace.") != std::string::npos;
            });
        }
    }
    const run_result result = finish(child);

    EXPECT_EQ(result.status, row.status);
    if (row.status < 0) { // ended by its signal, part way
        EXPECT_EQ(result.output.substr(0, banner(notes).size() + 4), banner(notes) + "....");
    } else {
        EXPECT_EQ(result.output, here(row.output));
    }
    const auto after = snapshot(dir_);
    for (const std::string &path : row.replaced) {
        seen_file &file = expected[path];
        file.data = model_output(file.data);
        EXPECT_NE(after.count(path) ? after.at(path).inode : file.inode, file.inode)
            << path << " was written in place";
        file.inode = after.count(path) ? after.at(path).inode : 0;
    }
    EXPECT_EQ(differences(expected, after), "");
}

const auto row_name = [](const auto &row) { return row.param.name; };
INSTANTIATE_TEST_SUITE_P(Table, DecodeReplace, testing::ValuesIn(rows(false)), row_name);
INSTANTIATE_TEST_SUITE_P(AsRoot, DecodeReplace, testing::ValuesIn(rows(true)), row_name);
