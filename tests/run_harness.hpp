// The harness of the end-to-end tests: the fixture Decode runs the built
// program in a fresh directory, as a user would, and gives what a user sees.
// Every run is bounded in time, output and file size, and killed with its
// process group when its test ends, however that ends.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

// Each test file has the harness whole; its functions are inline, so that a
// file that uses only some of them builds without a warning.
namespace {

// An input of three pieces that holds every kind of byte, its copy, and
// what a run over it shows.
using namespace std::string_literals;
const std::string three_lines = "Caf\xE9\n\xC1\xE2\xE3\r\n\x8A\x00x\x80"s;
const std::string three_lines_out = "Cafi\nAbc\r\n\n\0x\0"s;
const std::string done = "Translating File \n...\nDone!\n";

// The command that runs the program where this machine cannot run it
// directly (qemu-user for another architecture), or nothing.
const std::vector<std::string> emulator = {DECODE_EMULATOR};

// Bounds on a run, far above what a right one needs, so that a fault fails
// its test rather than stall the suite or fill the disk or the memory. A run
// gets 300 s, half of ctest's timeout for a test (the longest, the 2 GiB
// copy under emulation, takes about a minute), may print 16 MiB, and may
// write files of 64 MiB.
constexpr auto run_time = std::chrono::seconds(300);
constexpr std::size_t output_limit = std::size_t{16} << 20;
constexpr off_t largest_file = off_t{64} << 20;

// How the child that runs decode is set up.
struct setup {
    std::vector<int> closed{};          // standard descriptors closed for the run
    mode_t mask = 022;                  // the umask
    bool unread = false;                // standard output is a pipe nobody reads
    std::string stdout_to{};            // standard output is this file instead,
    int stdout_flags = O_TRUNC;         // opened with these flags
    bool empty_vector = false;          // not even argv[0]
    std::string name{};                 // argv[0], where not the usual one
    std::vector<std::string> wrapper{}; // a command that runs decode (fiu-run)
    bool full_nonblocking = false;      // standard output is a full pipe, O_NONBLOCK
    std::vector<std::string> command{}; // a command run in place of decode
    off_t file_limit = largest_file;    // no file written may grow past this
};

struct running {
    pid_t pid;
    int output;             // standard output and standard error, read end
    std::size_t filler = 0; // bytes in the pipe before decode started
};

struct run_result {
    int status;
    std::string output;
};

inline pid_t spawn(const std::string &program, std::vector<std::string> words,
                   posix_spawn_file_actions_t *actions, pid_t group,
                   off_t file_limit = largest_file);
inline int reap(pid_t pid, std::chrono::steady_clock::time_point deadline);
inline bool on_path(const std::string &command);
inline bool others_can_reach(const fs::path &path);

class Decode : public testing::Test {
  protected:
    // Every program that a test starts runs in one process group, killed
    // when the test ends: by TearDown, or, however the test process itself
    // ends, by the group's leader, a watcher that kills it once the test
    // process lets go of its end of a pipe.
    void SetUp() override
    {
        // And the test ends with its runner: ctest, or a shell.
        ASSERT_EQ(prctl(PR_SET_PDEATHSIG, SIGKILL), 0);
        // Under TMPDIR; but where the tests run as root and another user
        // could not reach it there, under a system temporary directory that
        // user can reach, for the rows that run as that user.
        fs::path base = fs::temp_directory_path();
        for (const char *shared : {"/tmp", "/var/tmp", "/dev/shm"})
            if (geteuid() == 0 && !others_can_reach(base) && others_can_reach(shared))
                base = shared;
        std::string name = base / "decode-test-XXXXXX";
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        dir_ = name;
        int lifeline[2];
        ASSERT_EQ(pipe2(lifeline, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, lifeline[0], STDIN_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        group_ = spawn("sh", {"sh", "-c", "read -r _; kill -s KILL 0"}, &actions, 0);
        posix_spawn_file_actions_destroy(&actions);
        // Under qemu-user, spawn returns before the child has made its group,
        // and a run spawned into it then fails with 127: make it here too.
        // EACCES means the child has run exec, and so made it itself.
        if (group_ > 0 && setpgid(group_, group_) != 0) {
            ASSERT_EQ(errno, EACCES);
        }
        close(lifeline[0]);
        lifeline_ = lifeline[1];
    }
    void TearDown() override
    {
        if (group_ > 0)
            kill(-group_, SIGKILL);
        close(lifeline_);
        while (waitpid(-group_, nullptr, 0) > 0)
            continue;
        fs::remove_all(dir_);
    }

    // Starts decode in the directory; arguments after argv[0]. Through
    // posix_spawn, since under qemu-user a forked child of a dynamically
    // linked 32-bit x86 program hangs before it runs anything.
    running start(std::vector<std::string> args, const setup &how = {})
    {
        const std::string binary = DECODE_BINARY;
        // Run directly, decode gets argv[0] as the case sets it; through a
        // wrapper, its path. The emulator passes argv[0] on with -0.
        const bool direct = how.wrapper.empty() && emulator.empty();
        std::vector<std::string> words = how.wrapper;
        words.insert(words.end(), emulator.begin(), emulator.end());
        const std::string name = how.empty_vector      ? ""
                                 : !how.name.empty()   ? how.name
                                 : how.wrapper.empty() ? "decode"
                                                       : binary;
        if (!emulator.empty())
            words.insert(words.end(), {"-0", name});
        if (!direct)
            words.push_back(binary);
        else if (!how.empty_vector)
            words.push_back(name);
        if (!how.empty_vector)
            words.insert(words.end(), args.begin(), args.end());
        if (!how.command.empty())
            words = how.command;
        const std::string program = direct && how.command.empty() ? binary : words.at(0);

        int pipe_fds[2];
        EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        // A pipe that a caller left non-blocking, whose reader lags behind.
        std::size_t filler = 0;
        if (how.full_nonblocking) {
            EXPECT_EQ(fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK), 0);
            const std::string block(4096, '#');
            for (ssize_t put; (put = write(pipe_fds[1], block.data(), block.size())) > 0;)
                filler += static_cast<std::size_t>(put);
        }
        // A pipe whose reader has gone before decode starts.
        if (how.unread)
            close(pipe_fds[0]);
        // Standard descriptors as the case names them, whatever the test
        // runner left open. Standard error shares the captured pipe, so that
        // anything written there shows.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDWR, 0);
        if (how.stdout_to.empty())
            posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, how.stdout_to.c_str(),
                                             O_WRONLY | O_CREAT | how.stdout_flags, 0644);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
#ifdef DECODE_HAVE_SPAWN_CLOSEFROM
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#else
        for (const auto &entry : fs::directory_iterator("/proc/self/fd"))
            if (const int fd = std::stoi(entry.path().filename()); fd > STDERR_FILENO)
                posix_spawn_file_actions_addclose(&actions, fd);
#endif
        for (const int fd : how.closed)
            posix_spawn_file_actions_addclose(&actions, fd);
        const mode_t mask = umask(how.mask);
        const pid_t child = spawn(program, words, &actions, group_, how.file_limit);
        umask(mask);
        posix_spawn_file_actions_destroy(&actions);
        close(pipe_fds[1]);
        return {child, how.unread ? -1 : pipe_fds[0], filler};
    }
    // Reads the child's output to its end and waits for it, within the
    // bounds of a run.
    static run_result finish(const running &child)
    {
        const auto deadline = std::chrono::steady_clock::now() + run_time;
        std::string output;
        // A reader that lags: decode meets the full pipe, and must wait for
        // it, since it cannot end before its messages are out.
        siginfo_t ended{};
        for (int tries = 0; child.filler > 0 && ended.si_pid == 0 && tries < 100; ++tries) {
            usleep(10000);
            waitid(P_PID, static_cast<id_t>(child.pid), &ended, WEXITED | WNOHANG | WNOWAIT);
        }
        if (child.output >= 0) {
            while (output.size() <= output_limit) {
                pollfd ready{child.output, POLLIN, 0};
                if (poll(&ready, 1, 100) == 0) {
                    if (std::chrono::steady_clock::now() >= deadline)
                        break;
                    continue;
                }
                char buffer[65536];
                const ssize_t got = read(child.output, buffer, sizeof buffer);
                if (got <= 0)
                    break;
                output.append(buffer, static_cast<std::size_t>(got));
            }
            close(child.output);
        }
        // A coverage build run as another user cannot write its counters in
        // the build tree, and gcov says so on standard error at exit.
        for (std::size_t at; (at = output.find("profiling:")) != std::string::npos;)
            output.erase(at, output.find('\n', at) + 1 - at);
        const bool too_much = output.size() > output_limit;
        const int status = reap(child.pid, too_much ? std::chrono::steady_clock::now() : deadline);
        EXPECT_EQ(output.substr(0, child.filler), std::string(child.filler, '#'));
        if (too_much) { // and not shown whole in every failure that follows
            ADD_FAILURE() << "more output than any run gives: cut short";
            return {status, "(cut short)"};
        }
        return {status, output.substr(child.filler)};
    }

    run_result run(std::vector<std::string> args, const setup &how = {})
    {
        return finish(start(std::move(args), how));
    }

    // Why a program cannot be run as uid 65534 here, or "".
    std::string without_another_user()
    {
        if (geteuid() != 0)
            return "root, to run the program as another user";
        if (!others_can_reach(dir_))
            return "a test directory that another user can reach: TMPDIR, /tmp, /var/tmp and "
                   "/dev/shm are out of reach";
        return "";
    }

    // Why libfiu's fiu-run cannot inject faults into the programs here, or "".
    std::string without_faults()
    {
        if (!on_path("fiu-run") || !on_path("fiu-ctrl"))
            return "fiu-run and fiu-ctrl (Debian's fiu-utils)";
        // Some builds cannot take libfiu's preloaded library: AddressSanitizer's
        // runtime must load first, and a 32-bit program cannot load a 64-bit one.
        const std::string probe = run({}, {.wrapper = {"fiu-run", "-x", "-f", ""}}).output;
        if (probe != "You must supply a filename.\nUsage: " DECODE_BINARY " <filename>\n")
            return "a build that fiu-run can run: " + probe;
        return "";
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
    bool exists(const std::string &name)
    {
        return fs::exists(fs::symlink_status(dir_ / name));
    }
    // A FIFO held open for reading and writing, so that opening it never
    // blocks and writes that fit its buffer never wait.
    int fifo(const std::string &name)
    {
        fs::remove(dir_ / name);
        EXPECT_EQ(mkfifo((dir_ / name).c_str(), 0600), 0);
        return open((dir_ / name).c_str(), O_RDWR);
    }

    fs::path dir_;
    pid_t group_ = -1;  // the test's process group
    int lifeline_ = -1; // its watcher kills it when this closes
};

// Runs program, found on PATH, with argv `words` and the file actions, in
// process group `group` (0 for a new one), and with a limit on the size of
// the files it writes. -1 if it cannot start.
inline pid_t spawn(const std::string &program, std::vector<std::string> words,
                   posix_spawn_file_actions_t *actions, pid_t group, off_t file_limit)
{
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, group);
    // Set around the spawn, for the child to inherit.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit bounded{std::min(static_cast<rlim_t>(file_limit), saved.rlim_cur), saved.rlim_max};
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &bounded), 0);
    pid_t child = -1;
    const int failed =
        posix_spawnp(&child, program.c_str(), actions, &attributes, argv.data(), environ);
    setrlimit(RLIMIT_FSIZE, &saved);
    posix_spawnattr_destroy(&attributes);
    EXPECT_EQ(failed, 0) << program << ": " << strerror(failed);
    return failed == 0 ? child : -1;
}

// Waits for the child until the deadline, then kills it. Its exit status,
// or -1 if it did not exit.
inline int reap(pid_t pid, std::chrono::steady_clock::time_point deadline)
{
    if (pid <= 0) // never started: and kill(-1) would reach every process
        return -1;
    siginfo_t ended{};
    int waited = 0;
    while ((waited = waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT)) ==
               0 &&
           ended.si_pid == 0 && std::chrono::steady_clock::now() < deadline)
        usleep(10000);
    if (waited == 0 && ended.si_pid == 0) {
        ADD_FAILURE() << "still running when it should have ended: killed";
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads the child's standard output until it holds size bytes; false after
// ten seconds without them.
inline bool read_until(const running &child, std::string &seen, std::size_t size)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.size() < size && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{child.output, POLLIN, 0};
        if (poll(&ready, 1, 100) != 1)
            continue;
        char buffer[65536];
        const ssize_t got = read(child.output, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        seen.append(buffer, static_cast<std::size_t>(got));
    }
    return seen.size() >= size;
}

// Waits until the child is blocked in read(2): then it has taken all that
// was fed to it, and no later read can come first.
inline bool waits_in_read(pid_t pid)
{
    const std::string syscall = "/proc/" + std::to_string(pid) + "/syscall";
    for (int tries = 0; tries < 1000; ++tries) {
        long number = -1;
        std::ifstream(syscall) >> number;
        if (number == SYS_read)
            return true;
        usleep(10000);
    }
    return false;
}

// Waits until the child's standard output, a pipe, is full: then it waits
// to write more, or is about to. Told by the pipe, since under emulation
// the child's system calls are the host's. A pipe is full when each of its
// pages holds something: a page short of its capacity, or less.
inline bool output_full(const running &child)
{
    const long full = fcntl(child.output, F_GETPIPE_SZ) - sysconf(_SC_PAGESIZE);
    for (int tries = 0; tries < 1000; ++tries) {
        int queued = 0;
        if (ioctl(child.output, FIONREAD, &queued) == 0 && queued > full)
            return true;
        usleep(10000);
    }
    return false;
}

inline bool on_path(const std::string &command)
{
    return std::system(("command -v " + command + " >/dev/null").c_str()) == 0;
}

// The words that run a program as uid 65534, in group 65534, with setpriv's
// options separated by blanks (the groups, and any capabilities), and with
// a PATH of system directories, which that user can search wherever the
// test's own PATH leads.
inline std::vector<std::string> as_nobody(const std::string &options)
{
    std::vector<std::string> words = {"setpriv", "--reuid=65534", "--regid=65534"};
    for (std::size_t at = 0, end = 0; at < options.size(); at = end + 1) {
        end = std::min(options.find(' ', at), options.size());
        words.push_back(options.substr(at, end - at));
    }
    words.insert(words.end(), {"env", "PATH=/usr/local/bin:/usr/bin:/bin"});
    return words;
}

// Whether another user may search every directory down to path.
inline bool others_can_reach(const fs::path &path)
{
    for (fs::path at = path; at != at.parent_path(); at = at.parent_path())
        if ((fs::status(at).permissions() & fs::perms::others_exec) == fs::perms::none)
            return false;
    return true;
}

} // namespace
