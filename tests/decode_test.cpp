// The end-to-end cases: what a user sees of the built program, its standard
// output, exit status and files, run by the harness in run_harness.hpp.
#include "model.hpp"
#include "run_harness.hpp"

#include <sstream>
#include <sys/statvfs.h>

namespace {

std::string dots(std::string_view input)
{
    return std::string(model_pieces(input), '.');
}

} // namespace

TEST_F(Decode, UsageWithoutAFilename)
{
    const std::tuple<std::string, setup, std::string> table[] = {
        {"no argument", {}, "decode"},
        {"not even argv[0]", {.empty_vector = true}, "decode"},
        {"a control in argv[0]", {.name = "de\033code"}, "$'de\\033code'"},
    };
    for (const auto &[what, how, name] : table) {
        SCOPED_TRACE(what);
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
        SCOPED_TRACE(row.input);
        put(row.input, row.content);
        const run_result result = run({row.input, "ignored", "-x"});
        EXPECT_EQ(result.output,
                  "Translating File \n" + std::string(row.pieces, '.') + "\nDone!\n");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(get(row.output), row.copy);
        EXPECT_EQ(get(row.input), row.content);
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
        SCOPED_TRACE(where.str());
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
        EXPECT_EQ(run({"files/notes.txt"}, how).status, 0);
        struct stat made {};
        EXPECT_EQ(stat(copy.c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 07777, row.copy);
        EXPECT_EQ(made.st_gid, row.group);
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
    // A name that is not valid UTF-8, or holds a control character, is
    // shown so that it cannot reach a terminal raw, and so that it can be
    // pasted back into bash, zsh or ksh; valid UTF-8 stands as it is.
    const std::pair<std::string, std::string> table[] = {
        {"missing.txt", "Unable to open missing.txt\n"},
        {"folder", "Unable to open folder\n"},
        {"blo\tcked.txt", "Unable to open $'blo\\tcked.new'\n"},
        {"x\033]0;\x7f\a\\'\xC3\xA9\"\n",
         "Unable to open $'x\\033]0;\\177\\a\\\\\\'\xC3\xA9\"\\n'\n"},
        // Valid: U+00E9, U+1F600, U+10FFFF, U+00A0, U+0800, U+D7FF.
        {"caf\xC3\xA9 \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF\xC2\xA0\xE0\xA0\x80\xED\x9F\xBF",
         "Unable to open caf\xC3\xA9 \xF0\x9F\x98\x80 "
         "\xF4\x8F\xBF\xBF\xC2\xA0\xE0\xA0\x80\xED\x9F\xBF\n"},
        // U+009B, a C1 control (CSI); a lone byte, overlong forms, a
        // surrogate, past U+10FFFF, a character cut short.
        {"a\302\2332Jb", "Unable to open $'a\\302\\2332Jb'\n"},
        {"caf\351 \300\257 \340\237\277 \360\217\277\277 \355\240\200 \364\220\200\200 "
         "\342\202.txt",
         "Unable to open $'caf\\351 \\300\\257 \\340\\237\\277 \\360\\217\\277\\277 "
         "\\355\\240\\200 \\364\\220\\200\\200 \\342\\202.txt'\n"},
        // Four bytes shown for each.
        {"\1\2\3\4\5\6\16\17\20\21\22\23\24\25\26\27\30\31.txt",
         "Unable to open $'\\001\\002\\003\\004\\005\\006\\016\\017\\020\\021\\022\\023\\024"
         "\\025\\026\\027\\030\\031.txt'\n"},
    };
    for (const auto &[arg, message] : table) {
        SCOPED_TRACE(arg);
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
        SCOPED_TRACE(arg);
        const run_result result = run({arg});
        EXPECT_EQ(result.output, "Unable to open " + output + ": it is the input file\n");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(get(arg), three_lines);
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
        SCOPED_TRACE(input);
        const run_result result = run({input}, how);
        EXPECT_EQ(result.output, output);
        EXPECT_EQ(result.status, 1);
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
        std::string what;
        setup how;
        std::string output, redirected;
    } table[] = {
        {">&-", {.closed = {1}}, "", ""},
        {"<&- 2>&-", {.closed = {0, 2}, .wrapper = {"env", "LD_DEBUG=bindings"}}, done, ""},
        {"| a reader that has gone", {.unread = true}, "", ""},
        {"> notes.new", {.stdout_to = "notes.new"}, "", three_lines_out},
        {">> notes.txt", {.stdout_to = "notes.txt", .stdout_flags = O_APPEND}, "", three_lines},
        {"> log", {.stdout_to = "log"}, "", done}, // any other file gets the messages
        {"| a full non-blocking pipe", {.full_nonblocking = true}, done, ""},
    };
    for (const auto &[what, how, output, redirected] : table) {
        SCOPED_TRACE(what);
        put("notes.txt", three_lines);
        fs::remove(dir_ / "notes.new");
        const run_result result = run({"notes.txt"}, how);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, output);
        EXPECT_EQ(get("notes.new"), three_lines_out);
        EXPECT_EQ(get("notes.txt"), three_lines);
        if (!how.stdout_to.empty()) {
            EXPECT_EQ(get(how.stdout_to), redirected);
        }
    }
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
        SCOPED_TRACE(row.name);
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
                        waits_in_read(child.pid));
            const std::string control = "fiu-ctrl -f " + (dir_ / "control").string() + " -c '" +
                                        row.part_way + "' " + std::to_string(child.pid);
            EXPECT_EQ(std::system(control.c_str()), 0);
            EXPECT_EQ(write(feed, second.data(), second.size()), ssize_t(second.size()));
            close(feed);
            result = finish(child);
            result.output = seen + result.output;
            copy = get("feed.new");
        }
        EXPECT_EQ(result.output, row.output);
        EXPECT_EQ(result.status, row.status);
        EXPECT_TRUE(copy == row.copy) << "copy of " << copy.size() << " bytes";
        EXPECT_TRUE(get("notes.txt") == whole);
    }
}
