// The end-to-end cases: what a user sees of the built program, its standard
// output, exit status and files, run by the harness in run_harness.hpp.
#include "model.hpp"
#include "run_harness.hpp"

#include <sys/statvfs.h>

namespace {

using namespace std::string_literals;
const std::string three_lines = "Caf\xE9\n\xC1\xE2\xE3\r\n\x8A\x00x\x80"s;
const std::string three_lines_out = "Cafi\nAbc\r\n\n\0x\0"s;
const std::string done = "Translating File \n...\nDone!\n";

std::string dots(std::string_view input)
{
    return std::string(model_pieces(input), '.');
}

// The replace recipe in a document: the lines from its first to its last,
// without their indentation.
std::string recipe_in(const std::string &path)
{
    std::ifstream file(path);
    std::string recipe, line;
    while (std::getline(file, line) && line.find("notes.new notes.txt") == std::string::npos)
        if (!recipe.empty() || line.find("notes.txt ] &&") != std::string::npos)
            recipe += line.substr(line.find_first_not_of(' ')) + "\n";
    return line.empty() ? "" : recipe + line.substr(line.find_first_not_of(' ')) + "\n";
}

} // namespace

TEST_F(Decode, UsageWithoutAFilename)
{
    const std::string usage = "You must supply a filename.\nUsage: decode <filename>\n";
    for (const bool empty_vector : {false, true}) {
        const run_result result = run({}, {.empty_vector = empty_vector});
        EXPECT_EQ(result.output, usage);
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
    // Rows with groups run as the input's owner, uid 65534, in group 65534
    // and those supplementary groups, on an input in group 100.
    const struct {
        mode_t input, mask, copy;
        bool existing = false; // the copy is the row before's, set to 0606
        std::string groups{};
        gid_t group = getegid();
        std::string acl{}; // for setfacl -m; it stays for the rows after
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
        {0640, 022, 0640, false, "--groups=100", 100},
        {0640, 022, 0600, false, "--clear-groups", 65534},
        {0664, 022, 0644, false, "--clear-groups", 65534},
        {0640, 022, 0606, true, "--groups=100", 65534},
        // Group 100 may not read this input: the ACL's mask shows as 0040.
        {0640, 022, 0600, false, "--groups=100", 100, "u:daemon:r,g::-,m::r"},
    };
    fs::create_directory(dir_ / "files");
    put("files/notes.txt", "x\n");
    const fs::path copy = dir_ / "files/notes.new";
    // The program, where the other user can run it.
    fs::copy_file(DECODE_BINARY, dir_ / "decode");
    fs::permissions(dir_, fs::perms(0711));
    for (const auto &row : table) {
        if (!row.existing)
            fs::remove(copy);
        else
            fs::permissions(copy, fs::perms(0606));
        setup how{.mask = row.mask};
        if (!row.groups.empty()) {
            if (geteuid() != 0)
                GTEST_SKIP() << "running the program as another user needs root";
            for (const char *file : {"files", "files/notes.txt"})
                ASSERT_EQ(chown((dir_ / file).c_str(), 65534, 100), 0);
            how.command = {"setpriv", "--reuid=65534", "--regid=65534", row.groups};
            how.command.insert(how.command.end(), emulator.begin(), emulator.end());
            how.command.insert(how.command.end(), {(dir_ / "decode").string(), "files/notes.txt"});
        }
        fs::permissions(dir_ / "files/notes.txt", fs::perms(row.input));
        if (!row.acl.empty() && std::system(("setfacl -m " + row.acl + " " +
                                             (dir_ / "files/notes.txt").string() + " 2>/dev/null")
                                                .c_str()) != 0)
            GTEST_SKIP() << "no ACLs here: setfacl (Debian's acl) is missing, or "
                         << dir_.parent_path() << " (TMPDIR) does not take them";
        EXPECT_EQ(run({"files/notes.txt"}, how).status, 0);
        struct stat made {};
        EXPECT_EQ(stat(copy.c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 07777, row.copy) << std::oct << row.input << " " << row.mask;
        EXPECT_EQ(made.st_gid, row.group) << std::oct << row.input << " " << row.groups;
    }
}

// A piece's dot comes as soon as its 4094th byte is read, though no line
// feed has come yet.
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
    fs::create_directories(dir_ / "blocked.new");
    put("blocked.txt", "x\n");
    const std::pair<std::string, std::string> table[] = {
        {"missing.txt", "Unable to open missing.txt\n"},
        {"folder", "Unable to open folder\n"},
        {"blocked.txt", "Unable to open blocked.new\n"},
    };
    for (const auto &[arg, message] : table) {
        const run_result result = run({arg});
        EXPECT_EQ(result.output, message);
        EXPECT_EQ(result.status, 0);
    }
    EXPECT_FALSE(exists("missing.new"));
    EXPECT_FALSE(exists("folder.new"));
    EXPECT_EQ(get("blocked.txt"), "x\n");
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
    put("soft.txt", three_lines);
    fs::create_symlink("soft.txt", dir_ / "soft.new");
    const std::pair<std::string, std::string> table[] = {{"notes.new", "notes"},
                                                         {"./notes.new", "./notes"},
                                                         {"hard.txt", "hard"},
                                                         {"soft.txt", "soft"}};
    for (const auto &[arg, stem] : table) {
        const run_result result = run({arg});
        EXPECT_EQ(result.output, "Unable to open " + stem + ".new: it is the input file\n");
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
    put("full.txt", three_lines);
    fs::create_symlink("/dev/full", dir_ / "full.new");
    // Reading a process's own memory at offset 0 fails with EIO.
    fs::create_symlink("/proc/self/mem", dir_ / "memory");
    put("big.txt", big);
    const struct {
        std::string input;
        setup how;
        std::string output;
    } table[] = {
        {"full.txt", {}, "Translating File \n\nError writing full.new\n"},
        {"memory", {}, "Translating File \n\nError reading memory\n"},
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

// README and the manual page give one recipe for replacing a file by its
// copy. It replaces the file only by a complete, new copy: never by an old
// copy, a link or whatever else stood under the copy's name, and never
// because a name printed in a message looked like success. It keeps the
// file's owner, and never asks; it refuses a file that keeps other links or
// an ACL, and a copy that mv could only copy across file systems.
TEST_F(Decode, ReplaceRecipeNeedsACompleteCopy)
{
    const std::string recipe = recipe_in(DECODE_SOURCE_DIR "/README.md");
    std::string manual = recipe_in(DECODE_SOURCE_DIR "/doc/decode.1.in");
    const std::pair<std::string, std::string> escapes[] = {
        {"\\(aq", "'"}, {"\\e", "\\"}, {"\\-", "-"}};
    for (const auto &[escape, text] : escapes)
        for (std::size_t at; (at = manual.find(escape)) != std::string::npos;)
            manual.replace(at, escape.size(), text);
    ASSERT_NE(recipe, "");
    EXPECT_EQ(manual, recipe);

    // The recipe's decode: the program, through the emulator if need be, and
    // free of the bound that the recipe's shell sets on its own memory, which
    // is far above what the shell needs for a right run's output.
    std::string command = "ulimit -S -d unlimited && exec";
    for (const std::string &word : emulator)
        command += " '" + word + "'";
    // A copy of the program, where another user can run it too.
    fs::create_directory(dir_ / "bin");
    fs::copy_file(DECODE_BINARY, dir_ / "bin/program");
    std::ofstream(dir_ / "bin/decode")
        << "#!/bin/sh\n"
        << command << " '" << (dir_ / "bin/program").string() << "' \"$@\"\n";
    fs::permissions(dir_ / "bin/decode", fs::perms(0755));
    // The recipe for any FILE and its STEM.new.
    std::string general = recipe;
    for (const auto &[name, variable] :
         {std::pair{"notes.txt", "\"$FILE\""}, {"notes.new", "\"$COPY\""}})
        for (std::size_t at; (at = general.find(name)) != std::string::npos;)
            general.replace(at, std::string_view(name).size(), variable);
    const setup recipe_run{
        .command = {"sh", "-c", "ulimit -S -d 262144 && PATH=\"$PWD/bin:$PATH\" && " + general}};

    // Another file system, for a FILE whose STEM.new lands on this one.
    struct stat here {
    }, shm{};
    if (stat("/dev/shm", &shm) != 0 || stat(dir_.c_str(), &here) != 0 || here.st_dev == shm.st_dev)
        GTEST_SKIP() << "needs /dev/shm on another file system than " << dir_.parent_path();
    std::string elsewhere = "/dev/shm/decode-test-XXXXXX";
    ASSERT_NE(mkdtemp(elsewhere.data()), nullptr);
    const struct removed_at_end {
        fs::path path;
        ~removed_at_end() { fs::remove_all(path); }
    } cleanup{elsewhere};
    fs::create_directory_symlink(elsewhere, dir_ / "shm.d");

    const struct {
        std::string file = "notes.txt", copy = "notes.new";
        std::string copy_link{};        // what the copy's name links to beforehand
        std::string old{};              // or what it holds
        std::string data = "notes.txt"; // the file that holds the data
        bool file_is_link = false;      // FILE is a symbolic link to it
        mode_t mode = 0644;             // of the data
        bool replaced = true;
        std::string other_link{}; // another hard link to the data
        bool terminal = false;    // the recipe's standard input is a terminal
        uid_t owner = geteuid();  // of the data, in group 100 where it is not ours
        std::string acl{};        // on the data, for setfacl -m
    } table[] = {
        {},
        // Into a directory that does not exist: not even root can open it.
        {.copy_link = "gone/notes.new"},
        {.copy_link = "/dev/null"},
        // A missing file whose name ends in a line that reads "Done!".
        {.file = "gone.txt\nDone!",
         .copy = "gone.new",
         .old = "an older copy\n",
         .replaced = false},
        // The only copy of the data, under the copy's name.
        {.data = "notes.new", .file_is_link = true, .replaced = false},
        {.file = "notes.new", .data = "notes.new", .replaced = false},
        {.data = "real.txt", .file_is_link = true, .replaced = false},
        {.mode = 0775},
        // mv would copy across, and a copy cut short leaves FILE empty.
        {.file = "shm.d/notes.txt",
         .copy = "shm.new",
         .data = "shm.d/notes.txt",
         .replaced = false},
        {.replaced = false, .other_link = "other.txt"},
        // mv asks a terminal before it replaces a read-only file.
        {.mode = 0444, .terminal = true},
        {.replaced = false, .acl = "u:daemon:r"},
        {.owner = 65534},
    };
    for (const auto &row : table) {
        put(row.data, three_lines);
        fs::permissions(dir_ / row.data, fs::perms(row.mode));
        if (row.file_is_link)
            fs::create_symlink(row.data, dir_ / row.file);
        if (!row.copy_link.empty())
            fs::create_symlink(row.copy_link, dir_ / row.copy);
        if (!row.old.empty())
            put(row.copy, row.old);
        if (!row.other_link.empty())
            fs::create_hard_link(dir_ / row.data, dir_ / row.other_link);
        if (row.owner != geteuid()) {
            if (geteuid() != 0)
                GTEST_SKIP() << "a file of another user needs root";
            ASSERT_EQ(chown((dir_ / row.data).c_str(), row.owner, 100), 0);
        }
        if (!row.acl.empty() && std::system(("setfacl -m " + row.acl + " '" +
                                             (dir_ / row.data).string() + "' 2>/dev/null")
                                                .c_str()) != 0)
            GTEST_SKIP() << "no ACLs here: setfacl (Debian's acl) is missing, or "
                         << dir_.parent_path() << " (TMPDIR) does not take them";
        setup how = recipe_run;
        if (row.terminal) {
            if (!on_path("script"))
                GTEST_SKIP() << "script (util-linux) is not installed";
            how.command = {"script", "-qec", recipe_run.command.back(), "/dev/null"};
            // mv never asks root, who may write any file: another user runs it.
            if (geteuid() == 0) {
                ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
                ASSERT_EQ(chown((dir_ / row.data).c_str(), 65534, 65534), 0);
                how.command.insert(how.command.begin(),
                                   {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
            }
        }
        struct stat data {};
        ASSERT_EQ(stat((dir_ / row.data).c_str(), &data), 0);
        setenv("FILE", row.file.c_str(), 1);
        setenv("COPY", row.copy.c_str(), 1);
        const run_result result = run({}, how);
        if (row.terminal) {
            ASSERT_EQ(chown(dir_.c_str(), geteuid(), getegid()), 0);
        }
        const std::string where = row.file + " (" + row.data + "): " + result.output;
        if (row.replaced) {
            EXPECT_EQ(result.status, 0) << where;
            EXPECT_FALSE(fs::is_symlink(dir_ / row.file)) << where;
            EXPECT_EQ(get(row.file), three_lines_out) << where;
            EXPECT_EQ(fs::status(dir_ / row.file).permissions(), fs::perms(row.mode)) << where;
            struct stat file {};
            EXPECT_EQ(stat((dir_ / row.file).c_str(), &file), 0);
            EXPECT_EQ(file.st_uid, data.st_uid) << where;
            EXPECT_EQ(file.st_gid, data.st_gid) << where;
        } else {
            EXPECT_NE(result.status, 0) << where;
            EXPECT_EQ(get(row.data), three_lines) << where;
            EXPECT_EQ(fs::is_symlink(dir_ / row.file), row.file_is_link) << where;
            EXPECT_EQ(exists(row.file), row.file_is_link || row.file == row.data) << where;
        }
        for (const std::string &name : {row.copy, row.file, row.data, row.other_link})
            if (!name.empty())
                fs::remove(dir_ / name);
    }
}

// Faults injected into the unchanged program by libfiu's fiu-run: at the
// start, or once the first part of a FIFO's input has been copied.
TEST_F(Decode, InjectedFaults)
{
    if (!on_path("fiu-run") || !on_path("fiu-ctrl"))
        GTEST_SKIP() << "fiu-run and fiu-ctrl (Debian's fiu-utils) are not installed";
    // Some builds cannot take libfiu's preloaded library: AddressSanitizer's
    // runtime must load first, and a 32-bit program cannot load a 64-bit one.
    const std::string probe = run({}, {.wrapper = {"fiu-run", "-x", "-f", ""}}).output;
    if (probe != "You must supply a filename.\nUsage: " DECODE_BINARY " <filename>\n")
        GTEST_SKIP() << "fiu-run cannot run this build: " << probe;

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
