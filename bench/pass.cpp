// pass [--check] FILE, or pass --which: the speed of the block translation,
// the block in cache, in GB/s: the pass that this build chose, both
// implementations, and a byte loop that translates and counts pieces as a
// plain program would. Reads up to 16 MiB of FILE, then over and over copies
// the next block of it into a buffer and translates it there, as a read
// would bring it in. Taking a new block each time keeps the branch predictor
// from learning one block by heart. Speeds are per second of this thread's
// processor time, so that other work on the machine does not slow the
// passes it interrupts. Each line: the pass, GB/s and the pieces
// counted, tab between. With --check it fails where the chosen pass is not
// 2.5 times as fast as the byte loop, as where a compiler left it a byte
// loop; where it is not the faster of the two passes, unless the build asked
// for the word pass; or where the passes disagree on the count. --which
// names the chosen pass.
#include "passes.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <span>
#include <unistd.h>

namespace {

constexpr std::size_t blocks = 64;

// Where the build asked for the word pass, it need not be the faster.
#ifdef DECODE_PORTABLE_PASS
constexpr bool asked_for_words = true;
#else
constexpr bool asked_for_words = false;
#endif

// Wide of the mark on both sides: here the chosen pass ran 3.5 to 11 times
// the byte loop's speed, whatever the compiler and level, and a vectorised
// pass that its compiler left a byte loop 0.6 to 0.8 times.
constexpr double least_gain = 2.5;

// The processor time of this thread, not the wall clock's: on a busy
// machine the wall clock runs on while other processes hold the processor,
// and a pass timed by it ran slower than itself.
double seconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A byte at a time: the piece counter's reset keeps every vectoriser off it.
void byte_loop(std::span<unsigned char> block, decode::piece_count &count)
{
    for (unsigned char &byte : block) {
        if (++count.open_piece == decode::piece_limit || byte == '\n') {
            ++count.pieces;
            count.open_piece = 0;
        }
        byte &= 0x7f;
    }
}

} // namespace

int main(int argc, char **argv)
{
    const char *chosen = decode::word_pass ? "words" : "vectorised";
    if (argc == 2 && std::strcmp(argv[1], "--which") == 0) {
        std::printf("%s\n", chosen);
        return 0;
    }
    const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    static unsigned char input[blocks * decode::block_size], block[decode::block_size];
    const int file = argc == 2 || check ? open(argv[argc - 1], O_RDONLY) : -1;
    std::size_t size = 0;
    ssize_t got = 0;
    while (file >= 0 && size < sizeof input &&
           (got = read(file, input + size, sizeof input - size)) > 0)
        size += static_cast<std::size_t>(got);
    const std::size_t whole = size / decode::block_size;
    if (whole == 0) {
        std::fprintf(stderr, "usage: %s [--check] FILE (of at least %zu bytes)\n", argv[0],
                     decode::block_size);
        return 2;
    }
    const struct {
        const char *name;
        void (*translate_block)(std::span<unsigned char>, decode::piece_count &);
    } passes[] = {{"chosen: ", decode::translate_block},
                  {"vectorised", decode::translate_block_vectorised},
                  {"words", decode::translate_block_words},
                  {"byte loop", byte_loop}};
    // The best of five rounds of 1,000 blocks each, the passes taken in turn
    // within a round so that the host's swings fall on all alike, after one
    // untimed round that brings the buffers' pages in and the processor up
    // to speed: without it the first pass ran at half its speed in some runs.
    double speed[std::size(passes)] = {};
    decode::piece_count counts[std::size(passes)];
    for (int round = 0; round <= 5; ++round)
        for (std::size_t p = 0; p < std::size(passes); ++p) {
            const double start = seconds();
            for (std::size_t i = 0; i < 1000; ++i) {
                std::memcpy(block, input + i % whole * decode::block_size, sizeof block);
                passes[p].translate_block({block, sizeof block}, counts[p]);
            }
            const double rate = 1000.0 * sizeof block / (seconds() - start) / 1e9;
            speed[p] = round > 0 && rate > speed[p] ? rate : speed[p];
        }
    for (std::size_t p = 0; p < std::size(passes); ++p)
        std::printf("%s%s\t%.2f\t%llu\n", passes[p].name, p == 0 ? chosen : "", speed[p],
                    static_cast<unsigned long long>(counts[p].pieces));
    if (!check)
        return 0;
    const double gain = speed[0] / speed[3];
    const bool agree = counts[0].pieces == counts[1].pieces &&
                       counts[1].pieces == counts[2].pieces && counts[2].pieces == counts[3].pieces;
    // The pass that the build chose must be the faster of the two, unless
    // the build asked for the word pass. Judged on the two passes' own
    // times: the chosen one is one of them, timed again.
    const bool fastest =
        asked_for_words || (decode::word_pass ? speed[2] >= speed[1] : speed[1] >= speed[2]);
    std::printf("%s: the chosen pass at %.1f times the byte loop (at least %.1f)%s%s\n",
                gain >= least_gain && agree && fastest ? "passed" : "FAILED", gain, least_gain,
                agree ? "" : ", and the counts differ",
                fastest ? "" : ", and not the faster of the two passes");
    return gain >= least_gain && agree && fastest ? 0 : 1;
}
