#include "model.hpp"
#include "passes.hpp"
#include "translate.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <span>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

struct model_result {
    std::string output;
    std::uint64_t pieces;
};

model_result model(const std::string &input)
{
    return {model_output(input), model_pieces(input)};
}

int memory_file(const std::string &content)
{
    const int fd = memfd_create("decode-test", 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// A memory file for the pass to write into, sealed at 16 MiB, far above
// any right answer here: a pass gone wrong fails to write past it rather
// than fill the machine's memory.
int bounded_memory_file()
{
    const int fd = memfd_create("decode-test", MFD_ALLOW_SEALING);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, off_t{16} << 20), 0);
    EXPECT_EQ(fcntl(fd, F_ADD_SEALS, F_SEAL_GROW), 0);
    return fd;
}

// What was written to a bounded memory file: up to its offset.
std::string written(int fd)
{
    std::string text(static_cast<std::size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
    EXPECT_EQ(pread(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    return text;
}

// Long enough to cross several of the pass's blocks, of whatever size.
constexpr std::size_t several_blocks = std::size_t{768} * 1024;

// Lines of one length, each with bytes that have bit 7 set, enough of them to
// cross several blocks.
std::string lines_of(std::size_t length, std::string_view end = "\n")
{
    std::string line(length, 'a');
    for (std::size_t i = 0; i < length; i += 3)
        line[i] = static_cast<char>(0xC1 + i % 60);
    std::string text;
    while (text.size() < several_blocks)
        text += line + std::string(end);
    return text;
}

std::vector<std::pair<std::string, std::string>> cases()
{
    std::vector<std::pair<std::string, std::string>> all = {
        {"empty", ""},
        {"three lines", "one\ntwo\nthree\n"},
        {"last line open", "one\ntwo"},
        {"every byte",
         [] {
             std::string bytes;
             for (int i = 0; i < 256; ++i)
                 bytes += static_cast<char>(i);
             return bytes;
         }()},
        {"zero and 0x80 keep the rest", std::string("ab\0cd\n\x80"
                                                    "ef\n\x8A\x8A\n",
                                                    13)},
        {"CRLF", lines_of(40, "\r\n")},
        {"one long line", std::string(several_blocks + 17, '\xE9')},
    };
    for (std::size_t length : {4093, 4094, 4095, 8188, 8189})
        all.emplace_back("lines of " + std::to_string(length), lines_of(length));
    // A line near a piece's length, then a short one that ends close after
    // it: the long one's feed decides whether it filled a piece.
    std::string mixed;
    for (std::size_t length = 4080; mixed.size() < several_blocks; length = 4080 + length % 23)
        mixed += lines_of(length).substr(0, length) + "\n" + std::string(length % 5, 'x') + "\n";
    all.emplace_back("long and short lines", mixed);
    std::mt19937 random(7);
    std::string noise(several_blocks, '\0');
    for (char &byte : noise)
        byte = static_cast<char>(random() % 50 == 0 ? '\n' : random());
    all.emplace_back("noise", noise);
    return all;
}

} // namespace

// Both implementations, whichever the build chose, on every input and with
// reads of every size.
TEST(Translate, MatchesTheModelWhateverTheReadSizes)
{
    const std::pair<const char *, void (*)(std::span<unsigned char>, decode::piece_count &)>
        passes[] = {{"vectorised", decode::translate_block_vectorised},
                    {"words", decode::translate_block_words}};
    for (const auto &[pass, translate_block] : passes) {
        for (const auto &[name, input] : cases()) {
            const model_result expected = model(input);
            for (std::size_t step : {1, 63, 127, 128, 129, 4095, 100000}) {
                const std::string where =
                    std::string(pass) + ", " + name + ", step " + std::to_string(step);
                std::string bytes = input;
                decode::piece_count count;
                model_count so_far;
                // Every piece is counted in the read that completes it.
                std::size_t counted_late = 0;
                for (std::size_t at = 0; at < bytes.size(); at += step) {
                    const std::size_t size = std::min(step, bytes.size() - at);
                    translate_block({reinterpret_cast<unsigned char *>(bytes.data()) + at, size},
                                    count);
                    so_far.read(std::string_view(input).substr(at, size));
                    counted_late += count.pieces != so_far.complete;
                }
                EXPECT_EQ(counted_late, 0U) << where;
                EXPECT_EQ(bytes, expected.output) << where;
                EXPECT_EQ(decode::pieces_at_end(count), expected.pieces) << where;
            }
        }
    }
}

TEST(Translate, CopiesFileToFileWithADotPerPiece)
{
    for (const auto &[name, input] : cases()) {
        const model_result expected = model(input);
        const int in = memory_file(input), out = bounded_memory_file(),
                  dots = bounded_memory_file();
        const decode::pass_result result = decode::translate(in, out, dots);
        EXPECT_EQ(result.status, decode::outcome::done) << name;
        EXPECT_EQ(result.pieces, expected.pieces) << name;
        EXPECT_EQ(written(out), expected.output) << name;
        const std::string progress = written(dots);
        EXPECT_EQ(progress.size(), expected.pieces) << name;
        EXPECT_EQ(progress.find_first_not_of('.'), std::string::npos) << name;
        close(in), close(out), close(dots);
    }
}

TEST(Translate, ReportsReadAndWriteFailuresButNotProgressFailures)
{
    const int directory = open(".", O_RDONLY), full = open("/dev/full", O_WRONLY);
    const int in = memory_file("some text\n"), out = bounded_memory_file(),
              dots = bounded_memory_file();
    EXPECT_EQ(decode::translate(directory, out, dots).status, decode::outcome::read_failed);
    EXPECT_EQ(decode::translate(in, full, dots).status, decode::outcome::write_failed);
    lseek(in, 0, SEEK_SET);
    EXPECT_EQ(decode::translate(in, out, full).status, decode::outcome::done);
    EXPECT_EQ(written(out), "some text\n");
    for (int fd : {directory, full, in, out, dots})
        close(fd);
}
