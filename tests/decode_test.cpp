// Runs the built program in a fresh directory and checks what a user sees:
// standard output, exit status and files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

enum class stdout_is { captured, closed, unread };

struct run_result {
    int status;
    std::string output;
};

class Decode : public testing::Test {
  protected:
    void SetUp() override
    {
        char name[] = "/tmp/decode-test-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs decode in the directory; arguments after argv[0].
    run_result run(std::vector<std::string> args, stdout_is mode = stdout_is::captured,
                   bool empty_vector = false)
    {
        args.insert(args.begin(), "decode");
        std::vector<char *> argv;
        if (!empty_vector)
            for (std::string &arg : args)
                argv.push_back(arg.data());
        argv.push_back(nullptr);
        int pipe_fds[2];
        EXPECT_EQ(pipe(pipe_fds), 0);
        if (mode == stdout_is::unread)
            close(pipe_fds[0]);
        const pid_t child = fork();
        if (child == 0) {
            if (chdir(dir_.c_str()) != 0)
                _exit(127);
            umask(022);
            if (mode == stdout_is::closed)
                close(STDOUT_FILENO);
            else
                dup2(pipe_fds[1], STDOUT_FILENO);
            execv(DECODE_BINARY, argv.data());
            _exit(127);
        }
        close(pipe_fds[1]);
        std::string output;
        if (mode != stdout_is::unread) {
            char buffer[4096];
            ssize_t got;
            while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0)
                output.append(buffer, static_cast<std::size_t>(got));
            close(pipe_fds[0]);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
    }

    void put(const std::string &name, const std::string &content)
    {
        std::ofstream(dir_ / name, std::ios::binary) << content;
    }
    std::string get(const std::string &name)
    {
        std::ifstream file(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), {}};
    }
    bool exists(const std::string &name) { return fs::exists(fs::symlink_status(dir_ / name)); }

    fs::path dir_;
};

using namespace std::string_literals;
const std::string three_lines = "Caf\xE9\n\xC1\xE2\xE3\r\n\x8A\x00x\x80"s;
const std::string three_lines_out = "Cafi\nAbc\r\n\n\0x\0"s;
const std::string done = "Translating File \n...\nDone!\n";

} // namespace

TEST_F(Decode, UsageWithoutAFilename)
{
    EXPECT_EQ(run({}).output, "You must supply a filename.\nUsage: decode <filename>\n");
    EXPECT_EQ(run({}, stdout_is::captured, true).output,
              "You must supply a filename.\nUsage: decode <filename>\n");
    EXPECT_EQ(run({}).status, 0);
}

TEST_F(Decode, TranslatesBesideTheStem)
{
    put("notes.txt", three_lines);
    put("notes.new", "an older and much longer output that must go entirely");
    put("-x", "a\n");
    const run_result result = run({"notes.txt", "-x", "more"});
    EXPECT_EQ(result.output, done);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(get("notes.new"), three_lines_out);
    EXPECT_EQ(get("notes.txt"), three_lines);

    EXPECT_EQ(run({"-x"}).output, "Translating File \n.\nDone!\n");
    EXPECT_EQ(get("-x.new"), "a\n");
    EXPECT_EQ(fs::status(dir_ / "-x.new").permissions(), fs::perms(0644));

    put("empty", "");
    EXPECT_EQ(run({"empty"}).output, "Translating File \n\nDone!\n");
    EXPECT_EQ(get("empty.new"), "");
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

TEST_F(Decode, ReadAndWriteErrorsFailTheRun)
{
    put("full.txt", three_lines);
    fs::create_symlink("/dev/full", dir_ / "full.new");
    const run_result full = run({"full.txt"});
    EXPECT_EQ(full.output, "Translating File \n\nError writing full.new\n");
    EXPECT_EQ(full.status, 1);

    // Reading a process's own memory at offset 0 fails with EIO.
    fs::create_symlink("/proc/self/mem", dir_ / "memory");
    const run_result memory = run({"memory"});
    EXPECT_EQ(memory.output, "Translating File \n\nError reading memory\n");
    EXPECT_EQ(memory.status, 1);
}

TEST_F(Decode, StandardOutputThatFailsDoesNotStopTheCopy)
{
    put("notes.txt", three_lines);
    for (stdout_is mode : {stdout_is::closed, stdout_is::unread}) {
        fs::remove(dir_ / "notes.new");
        EXPECT_EQ(run({"notes.txt"}, mode).status, 0);
        EXPECT_EQ(get("notes.new"), three_lines_out);
    }
}
