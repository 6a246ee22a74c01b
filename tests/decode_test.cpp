// The end-to-end cases: what a user sees of the built program, its standard
// output, exit status and files, run by the harness in run_harness.hpp.
#include "model.hpp"
#include "run_harness.hpp"

#include <map>
#include <sstream>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

namespace {

using namespace std::string_literals;
const std::string three_lines = "Caf\xE9\n\xC1\xE2\xE3\r\n\x8A\x00x\x80"s;
const std::string three_lines_out = "Cafi\nAbc\r\n\n\0x\0"s;
const std::string done = "Translating File \n...\nDone!\n";

// AddressSanitizer's runtime, like qemu-user, needs /proc.
#ifdef __SANITIZE_ADDRESS__
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

std::string dots(std::string_view input)
{
    return std::string(model_pieces(input), '.');
}

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
} // namespace

TEST_F(Decode, UsageWithoutAFilename)
{
    const std::pair<setup, std::string> table[] = {
        {{}, "decode"},
        {{.empty_vector = true}, "decode"},
        {{.name = "de\033code"}, "$'de\\033code'"},
    };
    for (const auto &[how, name] : table) {
        const run_result result = run({}, how);
        EXPECT_EQ(result.output, "You must supply a filename.\nUsage: " + name + " <filename>\n");
        EXPECT_EQ(result.status, 0);
    }
}

TEST_F(Decode, TranslatesBesideTheStem)
{
    put("notes.new", "an older and much longer output that must go entirely");
    const struct {
        std::string input, output, content, copy;
        std::size_t pieces;
    } table[] = {
        {"notes.txt", "notes.new", three_lines, three_lines_out, 3},
        {"-x", "-x.new", "a\n", "a\n", 1},
        {"empty", "empty.new", "", "", 0},
        // More pieces in one block than one write of dots carries.
        {"feeds.txt", "feeds.new", std::string(600000, '\n'), std::string(600000, '\n'), 600000},
    };
    for (const auto &row : table) {
        put(row.input, row.content);
        const run_result result = run({row.input, "ignored", "-x"});
        EXPECT_EQ(result.output, "Translating File \n" + std::string(row.pieces, '.') + "\nDone!\n")
            << row.input;
        EXPECT_EQ(result.status, 0) << row.input;
        EXPECT_EQ(get(row.output), row.copy) << row.input;
        EXPECT_EQ(get(row.input), row.content) << row.input;
    }
}

// A new copy is never more open than its input, and its owner can always
// read and write it. It is in the input's group where its owner may give it
// that group; otherwise its group gets what everyone may do with the input.
// Where an ACL says who reads the input, the group gets nothing. An
// existing copy keeps its mode, owner and group.
TEST_F(Decode, ModeOfTheCopy)
{
    // Rows with groups run on an input of uid 65534 in group 100: as root
    // where groups is "root", else as uid 65534 in group 65534 and the
    // groups that setpriv's option names. Uid 1234 is a bystander.
    const struct {
        mode_t input, mask, copy;
        bool existing = false; // the copy is the row before's, set to 0606
        std::string groups{};
        gid_t group = getegid();
        std::string acl{};         // the input's, for setfacl -m
        std::string default_acl{}; // its directory's, for setfacl -d -m
    } table[] = {
        {0666, 0, 0666},
        {0666, 022, 0644},
        {0666, 027, 0640},
        {0600, 0, 0600},
        {0444, 0, 0644},
        {0755, 0, 0644},
        // Set-id and sticky bits never reach a copy.
        {07755, 0, 0644},
        {0600, 0, 0606, true},
        {0640, 022, 0640, false, "root", 100},
        {0640, 022, 0640, false, "--groups=100", 100},
        {0640, 022, 0600, false, "--clear-groups", 65534},
        {0664, 022, 0644, false, "--clear-groups", 65534},
        {0604, 022, 0600, false, "--clear-groups", 65534},
        {0640, 022, 0606, true, "--groups=100", 65534},
        // Group 100 may not read this input: the ACL's mask shows as 0040.
        {0640, 022, 0600, false, "--groups=100", 100, "u:daemon:r,g::-,m::r"},
        {0644, 022, 0600, false, "", getegid(), "u:1234:-"},
        {0640, 022, 0600, false, "", getegid(), "", "u::rwx,g::rx,o::-,u:1234:rw"},
    };
    fs::create_directory(dir_ / "files");
    const fs::path input = dir_ / "files/notes.txt", copy = dir_ / "files/notes.new";
    // The program, where the other user can run it.
    fs::copy_file(DECODE_BINARY, dir_ / "decode");
    fs::permissions(dir_, fs::perms(0711));
    const std::string nobody = without_another_user();
    std::string skipped;
    for (const auto &row : table) {
        std::stringstream where;
        where << std::oct << row.input << " " << row.mask << " " << row.groups << row.acl
              << row.default_acl;
        if (!row.groups.empty() && !nobody.empty()) {
            skipped += where.str() + ": needs " + nobody + "\n";
            continue;
        }
        if (!row.existing)
            fs::remove(copy);
        else
            fs::permissions(copy, fs::perms(0606));
        fs::remove(input);
        put("files/notes.txt", "x\n");
        setup how{.mask = row.mask};
        if (!row.groups.empty()) {
            for (const fs::path &file : {dir_ / "files", input})
                ASSERT_EQ(chown(file.c_str(), 65534, 100), 0);
        }
        if (!row.groups.empty() && row.groups != "root") {
            how.command = as_nobody(row.groups);
            how.command.insert(how.command.end(), emulator.begin(), emulator.end());
            how.command.insert(how.command.end(), {(dir_ / "decode").string(), "files/notes.txt"});
        }
        fs::permissions(input, fs::perms(row.input));
        const std::string acl = !row.acl.empty() ? "-m " + row.acl + " " + input.string()
                                : !row.default_acl.empty()
                                    ? "-d -m " + row.default_acl + " " + (dir_ / "files").string()
                                    : "";
        if (!acl.empty() && std::system(("setfacl " + acl + " 2>/dev/null").c_str()) != 0) {
            skipped += where.str() + ": no ACLs here: setfacl (Debian's acl) is missing, or " +
                       dir_.parent_path().string() + " (TMPDIR) does not take them\n";
            continue;
        }
        EXPECT_EQ(run({"files/notes.txt"}, how).status, 0) << where.str();
        struct stat made {};
        EXPECT_EQ(stat(copy.c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 07777, row.copy) << where.str();
        EXPECT_EQ(made.st_gid, row.group) << where.str();
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

// A piece's dot comes once the block in which its 4094th byte was read is
// written, though no line feed has come yet.
TEST_F(Decode, ADotForEachPieceAsItCompletes)
{
    const int feed = fifo("long.txt");
    const running child = start({"long.txt"});
    const std::string line(20000, '\xE9');
    EXPECT_EQ(write(feed, line.data(), line.size()), ssize_t(line.size()));
    std::string seen;
    EXPECT_TRUE(read_until(child, seen, 18 + 4));
    EXPECT_EQ(seen, "Translating File \n....");
    close(feed);
    EXPECT_EQ(seen + finish(child).output, "Translating File \n.....\nDone!\n");
    EXPECT_EQ(get("long.new"), std::string(20000, 'i'));
}

// Past 2 GiB, where 32-bit file offsets end. The input is sparse, so it
// costs little but the copy's writing.
TEST_F(Decode, CopiesAFileOver2GiB)
{
    const off_t size = (off_t{1} << 31) + 10;
    if (sizeof(long) > 4)
        GTEST_SKIP() << "a 64-bit target, whose file offsets were never 32-bit";
    struct statvfs room {};
    if (statvfs(dir_.c_str(), &room) != 0 ||
        room.f_bavail * room.f_frsize < std::uint64_t(size) + (64 << 20))
        GTEST_SKIP() << "needs 2 GiB and 64 MiB free in " << dir_.parent_path() << " (TMPDIR)";
    const int file = open((dir_ / "big.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(ftruncate(file, size - 4), 0);
    EXPECT_EQ(pwrite(file, "\xC1\xE2\xE3\n", 4, size - 4), 4);
    close(file);
    const run_result result = run({"big.txt"}, {.file_limit = off_t{3} << 30});
    EXPECT_EQ(result.status, 0);
    // One line: 524,545 pieces of 4094 bytes, the last of them short.
    EXPECT_TRUE(result.output == "Translating File \n" + std::string(524545, '.') + "\nDone!\n")
        << result.output.substr(0, 80);
    struct stat copy {};
    EXPECT_EQ(stat((dir_ / "big.new").c_str(), &copy), 0);
    EXPECT_EQ(copy.st_size, size);
    char end[5] = {};
    const int out = open((dir_ / "big.new").c_str(), O_RDONLY);
    EXPECT_EQ(pread(out, end, 4, size - 4), 4);
    close(out);
    EXPECT_STREQ(end, "Abc\n");
}

TEST_F(Decode, NamesTheOutputFromTheWholePath)
{
    fs::create_directories(dir_ / "dir.d");
    put("dir.d/file.txt", "x\n");
    put("..x", "y\n");
    EXPECT_EQ(run({"dir.d/file.txt"}).output, "Translating File \n.\nDone!\n");
    EXPECT_EQ(get("dir.new"), "x\n");
    EXPECT_EQ(run({"..x"}).status, 0);
    EXPECT_EQ(get("..x.new"), "y\n");
}

TEST_F(Decode, CannotOpen)
{
    fs::create_directories(dir_ / "folder");
    fs::create_directories(dir_ / "blo\tcked.new");
    put("blo\tcked.txt", "x\n");
    // A name with a control character is shown so that it cannot reach a
    // terminal raw, and so that it can be pasted back into a shell.
    const std::pair<std::string, std::string> table[] = {
        {"missing.txt", "Unable to open missing.txt\n"},
        {"folder", "Unable to open folder\n"},
        {"blo\tcked.txt", "Unable to open $'blo\\tcked.new'\n"},
        {"x\033]0;\x7f\a\\'\xE9\"\n", "Unable to open $'x\\033]0;\\177\\a\\\\\\'\xE9\"\\n'\n"},
    };
    for (const auto &[arg, message] : table) {
        const run_result result = run({arg});
        EXPECT_EQ(result.output, message);
        EXPECT_EQ(result.status, 0);
    }
    EXPECT_FALSE(exists("missing.new"));
    EXPECT_FALSE(exists("folder.new"));
    EXPECT_EQ(get("blo\tcked.txt"), "x\n");
}

TEST_F(Decode, NameTooLongFailsWithoutTruncation)
{
    // A path that the system takes, whose output name it does not.
    std::string path;
    while (path.size() + 200 < 4094)
        path += std::string(250, 'd') + "/";
    fs::create_directories(dir_ / path);
    path += std::string(4094 - path.size(), 'f');
    // Made relative to the directory: its absolute path would be too long.
    const int directory = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    const int file = openat(directory, path.c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_GE(file, 0);
    close(file);
    close(directory);
    EXPECT_EQ(run({path}).output, "Unable to open " + path + ".new\n");
}

TEST_F(Decode, RefusesToOverwriteTheInput)
{
    put("notes.new", three_lines);
    put("hard.txt", three_lines);
    fs::create_hard_link(dir_ / "hard.txt", dir_ / "hard.new");
    put("so\177ft.txt", three_lines);
    fs::create_symlink("so\177ft.txt", dir_ / "so\177ft.new");
    const std::pair<std::string, std::string> table[] = {{"notes.new", "notes.new"},
                                                         {"./notes.new", "./notes.new"},
                                                         {"hard.txt", "hard.new"},
                                                         {"so\177ft.txt", "$'so\\177ft.new'"}};
    for (const auto &[arg, output] : table) {
        const run_result result = run({arg});
        EXPECT_EQ(result.output, "Unable to open " + output + ": it is the input file\n");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(get(arg), three_lines) << arg;
    }
}

// A failed read or write ends the run with status 1 and says so, whatever
// the cause: a full disk, a device error, or a limit on the size of files
// (which would otherwise kill the run with SIGXFSZ, without a word).
TEST_F(Decode, ReadAndWriteErrorsFailTheRun)
{
    std::string big;
    while (big.size() < 100'000)
        big += three_lines;
    put("fu\nll.txt", three_lines);
    fs::create_symlink("/dev/full", dir_ / "fu\nll.new");
    // Reading a process's own memory at offset 0 fails with EIO.
    fs::create_symlink("/proc/self/mem", dir_ / "mem\rory");
    put("big.txt", big);
    const struct {
        std::string input;
        setup how;
        std::string output;
    } table[] = {
        {"fu\nll.txt", {}, "Translating File \n\nError writing $'fu\\nll.new'\n"},
        {"mem\rory", {}, "Translating File \n\nError reading $'mem\\rory'\n"},
        {"big.txt",
         {.wrapper = {"sh", "-c", "ulimit -f 64 && exec \"$0\" \"$@\""}},
         "Translating File \n\nError writing big.new\n"},
    };
    for (const auto &[input, how, output] : table) {
        const run_result result = run({input}, how);
        EXPECT_EQ(result.output, output) << input;
        EXPECT_EQ(result.status, 1) << input;
    }
}

// Wherever standard output goes, the copy holds exactly the translated
// bytes, the input is untouched and nothing reaches standard error. Closed
// descriptors are reused by open; with standard error closed, what the
// dynamic linker is asked to write there must not reach the copy. Standard
// output that is the input or the output gets no message, since the banner,
// dots and closing line would be written into the data.
TEST_F(Decode, StandardOutputNeverTouchesTheData)
{
    const struct {
        setup how;
        std::string output, redirected;
    } table[] = {
        {{.closed = {1}}, "", ""},
        {{.closed = {0, 2}, .wrapper = {"env", "LD_DEBUG=bindings"}}, done, ""},
        {{.unread = true}, "", ""},
        {{.stdout_to = "notes.new"}, "", three_lines_out},                       // > notes.new
        {{.stdout_to = "notes.txt", .stdout_flags = O_APPEND}, "", three_lines}, // >> notes.txt
        {{.stdout_to = "log"}, "", done}, // any other file gets the messages
        {{.full_nonblocking = true}, done, ""},
    };
    for (std::size_t row = 0; row < std::size(table); ++row) {
        const auto &[how, output, redirected] = table[row];
        put("notes.txt", three_lines);
        fs::remove(dir_ / "notes.new");
        const run_result result = run({"notes.txt"}, how);
        EXPECT_EQ(result.status, 0) << row;
        EXPECT_EQ(result.output, output) << row;
        EXPECT_EQ(get("notes.new"), three_lines_out) << row;
        EXPECT_EQ(get("notes.txt"), three_lines) << row;
        if (!how.stdout_to.empty()) {
            EXPECT_EQ(get(how.stdout_to), redirected) << row;
        }
    }
}

// decode-replace replaces each FILE by its decoded copy in one rename,
// keeping its owner, group, mode and attributes, or refuses and leaves it as
// it was. Either way no other file is written, given away or removed, and
// nothing is left beside it, whatever fails and whoever runs it. Rows with
// a user run as uid 65534 with those groups.
TEST_F(Decode, ReplacesAFileInOneSafeStep)
{
    const std::string notes = "j.doe/notes.txt";
    const auto refused = [](const std::string &path, const std::string &reason) {
        return "decode-replace: " + path + ": " + reason + "\n";
    };
    const auto failed = [&](const std::string &reason) {
        return "Translating File \n...\n" + refused(notes, reason);
    };
    const std::string feeds(300000, '\n'); // more dots than a pipe holds
    const std::string no_feeds(200000, '\xE9');
    const std::string owned = "chown -R 65534:65534 j.doe && ";
    // A system file, sys/prog, that a user's directory or link must not lead to.
    const std::string system_file = "mkdir sys && cp \"$FILE\" sys/prog && ";
    const std::string untrusted = "its path leads out of another user's directory";
    std::string deep = "j.doe"; // a directory part as long as the system takes
    while (deep.size() + 2 < PATH_MAX)
        deep += "/.";
    // cap_net_raw in the permitted and effective sets.
    const std::string capability =
        "setfattr -n security.capability -v 0x0100000200200000000000000000000000000000 \"$FILE\"";
    const std::string attributes =
        "setfacl -m u:daemon:r \"$FILE\" && setfattr -n user.note -v kept "
        "\"$FILE\" && setfacl -d -m u:daemon:rw j.doe";
    // clang-format off
    const struct {
        std::vector<std::string> args = {"j.doe/notes.txt"};
        std::string prepare{};             // shell, in the test's directory; FILE is $FILE
        std::vector<std::string> faults{}; // fiu-run's commands
        std::string output = done;
        int status = 0;
        std::vector<std::string> replaced = {"j.doe/notes.txt"};
        std::string file = "j.doe/notes.txt"; // made with content, mode 0644
        std::string content = three_lines;
        std::string user{}; // setpriv's groups for uid 65534
        setup how{};
        int signal = 0;          // sent once its dots fill the pipe,
        std::string meanwhile{}; // or this shell command run then
        bool terminal = false;   // its standard input is a terminal
        bool no_proc = false;    // /proc is missing
        bool tmpfs = false;      // FILE's directory is a small tmpfs of its own
        bool from_root = false;  // its walk goes through "/" to the test's directory
    } table[] = {
        {},
        {.args = {"-notes.txt"}, .replaced = {"-notes.txt"}, .file = "-notes.txt"},
        {.args = {"j.doe/new\nline.txt"}, .replaced = {"j.doe/new\nline.txt"},
         .file = "j.doe/new\nline.txt"},
        {.args = {"j.doe/notes[1].txt"}, .prepare = "cp \"$FILE\" j.doe/notes1.txt",
         .replaced = {"j.doe/notes[1].txt"}, .file = "j.doe/notes[1].txt"},
        {.args = {"j.doe/fifo"}, .prepare = "mkfifo j.doe/fifo",
         .output = refused("j.doe/fifo", "is not a regular file"), .status = 1, .replaced = {}},
        {.args = {"j.doe/"}, .output = refused("j.doe/", "is not a regular file"), .status = 1,
         .replaced = {}},
        {.args = {"j.doe/gone\033[2J.txt"},
         .output = refused("$'j.doe/gone\\033[2J.txt'", "No such file or directory"),
         .status = 1, .replaced = {}},
        {.args = {}, .output = "Usage: decode-replace FILE...\n", .status = 2, .replaced = {}},
        {.prepare = "ln \"$FILE\" j.doe/other.txt", .output = refused(notes, "has 2 hard links"),
         .status = 1, .replaced = {}},
        // One refused among several; standard output one of them, and so
        // given nothing, not even for those before it.
        {.args = {"j.doe/a.txt", "j.doe/link", notes},
         .prepare = "cp \"$FILE\" j.doe/a.txt && ln -s notes.txt j.doe/link",
         .output = done + refused("j.doe/link", "is a symbolic link") + done, .status = 1,
         .replaced = {"j.doe/a.txt", notes}},
        {.args = {"j.doe/a.txt", notes}, .prepare = "cp \"$FILE\" j.doe/a.txt", .output = "",
         .replaced = {"j.doe/a.txt", notes}, .how = {.stdout_to = notes, .stdout_flags = O_APPEND}},
        {.status = -1, .replaced = {}, .content = feeds, .signal = SIGKILL},
        // Written while it was decoded.
        {.output = "Translating File \n" + std::string(300001, '.') + "\n" +
                    refused(notes, "changed while it was decoded"),
         .status = 1, .replaced = {}, .content = feeds,
         .meanwhile = "printf '\\301\\n' >>\"$FILE\""},
        // Root, in another user's directory, on another user's file, among
        // links to its own.
        {.prepare = "chown 65534:100 \"$FILE\" && chmod 6754 \"$FILE\" && " + capability + " && " +
                    attributes + " && chown 65534 j.doe && echo x >secret && "
                    "ln -s ../secret j.doe/notes.new && ln -s ../secret j.doe/.decode-replace.0"},
        {.prepare = owned + "chgrp 100 \"$FILE\"",
         .output = refused(notes, "cannot keep its owner and group"),
         .status = 1, .replaced = {}, .user = "--clear-groups"},
        {.prepare = "chown -R 65534:100 j.doe && chmod 2775 \"$FILE\"", .user = "--groups=100"},
        // The system drops a set-group-ID bit for a group that the user is not in.
        {.prepare = "chown -R 65534:100 j.doe && chmod 2777 j.doe && chmod 2755 \"$FILE\"",
         .output = failed("cannot keep its mode"), .status = 1, .replaced = {},
         .user = "--clear-groups"},
        {.prepare = owned + capability,
         .output = failed("cannot keep its attribute security.capability"),
         .status = 1, .replaced = {}, .user = "--clear-groups"},
        {.prepare = owned + "chmod 444 \"$FILE\"",
         .output = "Translating File \r\n...\r\nDone!\r\n",
         .user = "--clear-groups", .terminal = true},
        {.output = "Translating File \n\n" + refused(notes, "No space left on device"), .status = 1,
         .replaced = {}, .content = no_feeds, .tmpfs = true},
        // A read-only directory, on a read-only file system so that root is refused too.
        {.prepare = "mount -o remount,ro j.doe", .output = refused(notes, "Read-only file system"),
         .status = 1, .replaced = {}, .tmpfs = true},
        // Where the copy must have a name of its own.
        {.no_proc = true},
        {.status = -1, .replaced = {}, .content = feeds, .signal = SIGTERM, .no_proc = true},
        {.status = -1, .replaced = {}, .content = feeds, .signal = SIGXCPU, .no_proc = true},
        {.status = -1, .replaced = {}, .content = feeds, .signal = SIGRTMAX, .no_proc = true},
        // Readable by its owner alone while it is written.
        {.output = "Translating File \n" + std::string(300000, '.') + "\nDone!\n", .content = feeds,
         .meanwhile = "test \"$(stat -c %a j.doe/.decode-replace.*)\" = 600", .no_proc = true},
        // SIGHUP ignored, as nohup leaves it.
        {.content = feeds, .how = {.wrapper = {"nohup"}}, .signal = SIGHUP},
        // A directory that would keep the copy's name.
        {.prepare = "chattr +a j.doe", .output = refused(notes, "its directory is append-only"),
         .status = 1, .replaced = {}, .tmpfs = true},
        {.prepare = "chattr +i j.doe", .output = refused(notes, "its directory is immutable"),
         .status = 1, .replaced = {}, .tmpfs = true},
        // The directory part, walked: a user's links that lead out of their
        // own files, planted or swapped in during the run, are refused.
        {.args = {"j.doe/d/prog"},
         .prepare = system_file + "chown 65534 j.doe && ln -s \"$PWD/sys\" j.doe/d && "
                    "chown -h 65534 j.doe/d",
         .output = refused("j.doe/d/prog", untrusted), .status = 1, .replaced = {}},
        {.args = {"j.doe/d/prog"},
         .prepare = system_file + "ln -s e j.doe/d && ln -s ../sys j.doe/e && "
                    "chown -h 65534 j.doe j.doe/d j.doe/e",
         .output = refused("j.doe/d/prog", untrusted), .status = 1, .replaced = {}},
        {.args = {"tmp/d/prog"},
         .prepare = system_file + "mkdir -m 1777 tmp && ln -s ../sys tmp/d && chown -h 65534 tmp/d",
         .output = refused("tmp/d/prog", untrusted), .status = 1, .replaced = {}},
        {.args = {"j.doe/d/notes.txt", "j.doe/d/prog"},
         .prepare = system_file + "mkdir j.doe/d && mv \"$FILE\" j.doe/d && chown -R 65534 j.doe",
         .output = "Translating File \n" + std::string(300000, '.') + "\nDone!\n" +
                   refused("j.doe/d/prog", untrusted),
         .status = 1, .replaced = {"j.doe/away/notes.txt"}, .content = feeds,
         .meanwhile = "mv j.doe/d j.doe/away && ln -s ../sys j.doe/d && chown -h 65534 j.doe/d"},
        // What a user's own links, root's and the caller's may do.
        {.args = {"j.doe//d/./../d/notes.txt"},
         .prepare = "mkdir j.doe/real && mv \"$FILE\" j.doe/real && ln -s real j.doe/d && "
                    "chown -hR 65534 j.doe",
         .replaced = {"j.doe/real/notes.txt"}},
        {.args = {(dir_ / "run/notes.txt").string()}, .prepare = "ln -s \"$PWD/j.doe\" run",
         .from_root = true},
        {.args = {"mine/notes.txt"},
         .prepare = owned + "ln -s \"$PWD/j.doe\" mine && chown -h 65534 mine",
         .user = "--clear-groups", .from_root = true},
        // At most 40 links; then a file where a directory must be.
        {.args = {"j.doe/l39/notes.txt", "j.doe/l40/notes.txt", "j.doe/notes.txt/x"},
         .prepare = "cd j.doe && ln -s . l0 && for i in $(seq 40); do ln -s l$((i - 1)) l$i; done",
         .output = done + refused("j.doe/l40/notes.txt", "Too many levels of symbolic links") +
                   refused("j.doe/notes.txt/x", "Not a directory"),
         .status = 1},
        {.args = {deep + "/notes.txt", deep + "//notes.txt"},
         .output = done + refused(deep + "//notes.txt", "File name too long"), .status = 1},
        {.faults = {"enable name=posix/io/owner/fchown,failinfo=1"},
         .output = refused(notes, "cannot keep its owner and group"), .status = 1, .replaced = {}},
        {.prepare = attributes, .faults = {"enable name=linux/io/xattr/fsetxattr"},
         .output = failed("cannot keep its attribute system.posix_acl_access"), .status = 1,
         .replaced = {}},
        // An ACL that the copy inherits as FILE has it needs no setting.
        {.prepare = "setfacl -m u:daemon:rw,m::-,o::- \"$FILE\" && "
                    "setfacl -d -m u:daemon:rw,g::r,o::- j.doe",
         .faults = {"enable name=linux/io/xattr/fsetxattr"}},
        {.prepare = "setfacl -d -m u:daemon:rw j.doe",
         .faults = {"enable name=linux/io/xattr/fremovexattr"},
         .output = failed("cannot drop the attribute system.posix_acl_access from its copy"),
         .status = 1, .replaced = {}},
        {.prepare = attributes, .faults = {"enable name=linux/io/xattr/flistxattr,failinfo=5"},
         .output = failed("Input/output error"), .status = 1, .replaced = {}},
        {.faults = {"enable name=posix/io/oc/openat,failinfo=13"},
         .output = refused(notes, "Permission denied"), .status = 1, .replaced = {}},
        // A link that took FILE's name after it was looked at.
        {.faults = {"enable name=posix/io/oc/openat,failinfo=40"},
         .output = refused(notes, "is a symbolic link"), .status = 1, .replaced = {}},
        // The open that starts the walk; once, so that gcov's at exit works.
        {.faults = {"enable name=posix/io/oc/open,failinfo=24,onetime"},
         .output = refused(notes, "Too many open files"), .status = 1, .replaced = {}},
        {.prepare = "setfattr -n \"$(printf 'user.\\033]0;x\\007')\" -v 1 \"$FILE\"",
         .faults = {"enable name=linux/io/xattr/fsetxattr"},
         .output = failed("cannot keep its attribute $'user.\\033]0;x\\a'"), .status = 1,
         .replaced = {}},
        {.faults = {"enable name=posix/io/rw/read,failinfo=5"},
         .output = "Translating File \n\n" + refused(notes, "Input/output error"), .status = 1,
         .replaced = {}},
        {.faults = {"enable name=posix/io/sync/fsync,failinfo=5"},
         .output = failed("Input/output error"), .status = 1, .replaced = {}},
        {.faults = {"enable name=posix/io/dir/linkat,failinfo=28"},
         .output = failed("No space left on device"), .status = 1, .replaced = {}},
        {.faults = {"enable name=posix/io/dir/linkat,failinfo=17,onetime"}},
        {.faults = {"enable name=posix/io/dir/renameat,failinfo=5"},
         .output = failed("Input/output error"), .status = 1, .replaced = {}},
        // Replaced, but not known to be on the disk: not a success either.
        {.faults = {"enable name=posix/io/sync/fsync/dir,failinfo=5"},
         .output = failed("replaced, but its directory could not be flushed: Input/output error"),
         .status = 1},
    };
    // clang-format on
    // The program, where the other user can run it.
    const std::string program = (dir_ / "decode-replace").string();
    fs::copy_file(REPLACE_BINARY, program);
    fs::permissions(dir_, fs::perms(0711));
    const std::string no_faults =
        FIU_CALLS[0] == '\0' ? "libfiu's header and library (Debian's libfiu-dev) at build time"
                             : without_faults();
    const std::string nobody = without_another_user();
    std::string skipped;
    for (std::size_t row_number = 0; row_number < std::size(table); ++row_number) {
        const auto &row = table[row_number];
        const std::string where = "row " + std::to_string(row_number);
        const std::string needs =
            (row.no_proc || row.tmpfs) && geteuid() != 0 ? "root, to mount"
            : !row.user.empty() && !nobody.empty()       ? nobody
            : !row.faults.empty() && !no_faults.empty()  ? no_faults
            : row.terminal && !on_path("script")         ? "script (util-linux)"
            : row.no_proc && (!emulator.empty() || sanitized)
                ? "a build that runs without /proc: not under qemu-user or AddressSanitizer"
            : row.from_root && !emulator.empty()
                ? "a build not under qemu-user, which opens \"/\" as its sysroot (-L)"
                : "";
        if (!needs.empty()) {
            skipped += where + " needs " + needs + "\n";
            continue;
        }
        for (const auto &entry : fs::directory_iterator(dir_))
            if (entry.path() != program)
                fs::remove_all(entry.path());
        fs::create_directory(dir_ / "j.doe");
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
        if (!row.prepare.empty() &&
            std::system(("cd '" + dir_.string() + "' && " + row.prepare + " 2>&1").c_str()) != 0) {
            skipped += where + " cannot be prepared (" + row.prepare +
                       "): it needs root, setfacl and setfattr, and a TMPDIR that takes ACLs "
                       "and attributes\n";
            continue;
        }
        const auto before = snapshot(dir_);

        std::vector<std::string> words;
        if (row.no_proc)
            words = {"unshare", "-m", "sh", "-c",
                     "mount -t tmpfs no-proc /proc && exec \"$0\" \"$@\""};
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
        runs.insert(runs.end(), row.args.begin(), row.args.end());
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
            EXPECT_TRUE(output_full(child)) << where;
            if (row.signal != 0) {
                kill(child.pid, row.signal);
            } else {
                EXPECT_EQ(std::system(("cd '" + dir_.string() + "' && " + row.meanwhile).c_str()),
                          0)
                    << where;
                expected = snapshot(dir_);
                // The copy under its hidden name must be gone when the run ends.
                std::erase_if(expected, [&](const auto &file) {
                    return before.count(file.first) == 0 &&
                           file.first.find("/.decode-replace.") != std::string::npos;
                });
            }
        }
        const run_result result = finish(child);

        EXPECT_EQ(result.status, row.status) << where;
        if (row.signal != 0) {
            EXPECT_EQ(result.output.substr(0, 22), "Translating File \n....") << where;
        } else {
            EXPECT_EQ(result.output, row.output) << where;
        }
        const auto after = snapshot(dir_);
        for (const std::string &path : row.replaced) {
            seen_file &file = expected[path];
            file.data = model_output(file.data);
            EXPECT_NE(after.count(path) ? after.at(path).inode : file.inode, file.inode)
                << where << ": " << path << " was written in place";
            file.inode = after.count(path) ? after.at(path).inode : 0;
        }
        EXPECT_EQ(differences(expected, after), "") << where;
    }
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

// Faults injected into the unchanged program by libfiu's fiu-run: at the
// start, or once the first part of a FIFO's input has been copied.
TEST_F(Decode, InjectedFaults)
{
    if (const std::string needs = without_faults(); !needs.empty())
        GTEST_SKIP() << "needs " << needs;

    const std::string line = "Caf\xE9 au lait, cr\xE8me br\xFBl\xE9\n";
    std::string whole, first;
    while (whole.size() < 2'000'000)
        whole += line;
    while (first.size() < 50'000)
        first += line;
    const std::string second = "\xC1\xE2\xE3\n";
    const std::string old = "an older output\n";

    const struct {
        std::string name;
        std::vector<std::string> at_start; // fiu-run's commands
        std::string part_way;              // fiu-ctrl's command; the input is then a FIFO
        std::string output;
        int status;
        std::string copy;
    } table[] = {
        {"the output's close fails",
         {"enable name=posix/io/oc/close,failinfo=5"},
         "",
         "Translating File \n" + dots(whole) + "\nError writing notes.new\n",
         1,
         model_output(whole)},
        {"emptying the old output fails",
         {"enable name=posix/io/rw/ftruncate,failinfo=5"},
         "",
         "Unable to open notes.new\n",
         0,
         old},
        {"reads and writes interrupted",
         {"enable_random name=posix/io/rw/read,probability=0.5,failinfo=4",
          "enable_random name=posix/io/rw/write,probability=0.5,failinfo=4"},
         "",
         "Translating File \n" + dots(whole) + "\nDone!\n",
         0,
         model_output(whole)},
        {"reads and writes cut short",
         {"enable_random name=posix/io/rw/read/reduce,probability=0.5",
          "enable_random name=posix/io/rw/write/reduce,probability=0.5"},
         "",
         "Translating File \n" + dots(whole) + "\nDone!\n",
         0,
         model_output(whole)},
        {"a read fails part way",
         {},
         "enable name=posix/io/rw/read,failinfo=5",
         "Translating File \n" + dots(first + second) + "\nError reading feed.txt\n",
         1,
         model_output(first + second)},
        {"a write fails part way",
         {},
         "enable name=posix/io/rw/write,failinfo=28,onetime",
         "Translating File \n" + dots(first) + "\nError writing feed.new\n",
         1,
         model_output(first)},
    };
    put("notes.txt", whole);
    for (const auto &row : table) {
        put("notes.new", old);
        setup how{.wrapper = {"fiu-run", "-x", "-f", (dir_ / "control").string()}};
        for (const std::string &command : row.at_start)
            how.wrapper.insert(how.wrapper.end(), {"-c", command});
        run_result result;
        std::string copy;
        if (row.part_way.empty()) {
            result = run({"notes.txt"}, how);
            copy = get("notes.new");
        } else {
            const int feed = fifo("feed.txt");
            const running child = start({"feed.txt"}, how);
            std::string seen;
            EXPECT_EQ(write(feed, first.data(), first.size()), ssize_t(first.size()));
            EXPECT_TRUE(read_until(child, seen, 18 + model_pieces(first)) &&
                        waits_in_read(child.pid))
                << row.name;
            const std::string control = "fiu-ctrl -f " + (dir_ / "control").string() + " -c '" +
                                        row.part_way + "' " + std::to_string(child.pid);
            EXPECT_EQ(std::system(control.c_str()), 0) << row.name;
            EXPECT_EQ(write(feed, second.data(), second.size()), ssize_t(second.size()));
            close(feed);
            result = finish(child);
            result.output = seen + result.output;
            copy = get("feed.new");
        }
        EXPECT_EQ(result.output, row.output) << row.name;
        EXPECT_EQ(result.status, row.status) << row.name;
        EXPECT_TRUE(copy == row.copy) << row.name << ": copy of " << copy.size() << " bytes";
        EXPECT_TRUE(get("notes.txt") == whole) << row.name;
    }
}
