// pass FILE: the speed of both implementations of the block translation,
// the block in cache. Reads up to 16 MiB of FILE, then over and over copies
// the next block of it into a buffer and translates it there, as a read
// would bring it in, and prints GB/s for each. Taking a new block each time
// keeps the branch predictor from learning one block by heart.
#include "translate.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <span>
#include <unistd.h>

namespace {

constexpr std::size_t blocks = 64;

double seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char **argv)
{
    static unsigned char input[blocks * decode::block_size], block[decode::block_size];
    const int file = argc == 2 ? open(argv[1], O_RDONLY) : -1;
    std::size_t size = 0;
    ssize_t got = 0;
    while (file >= 0 && size < sizeof input &&
           (got = read(file, input + size, sizeof input - size)) > 0)
        size += static_cast<std::size_t>(got);
    const std::size_t whole = size / decode::block_size;
    if (whole == 0) {
        std::fprintf(stderr, "usage: %s FILE (of at least %zu bytes)\n", argv[0],
                     decode::block_size);
        return 2;
    }
    const struct {
        const char *name;
        void (*translate_block)(std::span<unsigned char>, decode::piece_count &);
    } passes[] = {{"vectorised", decode::translate_block_vectorised},
                  {"words", decode::translate_block_words}};
    for (const auto &pass : passes) {
        decode::piece_count count;
        double best = 0;
        // The best of five rounds of 1,000 blocks.
        for (int round = 0; round < 5; ++round) {
            const double start = seconds();
            for (std::size_t i = 0; i < 1000; ++i) {
                std::memcpy(block, input + i % whole * decode::block_size, sizeof block);
                pass.translate_block({block, sizeof block}, count);
            }
            const double rate = 1000.0 * sizeof block / (seconds() - start) / 1e9;
            best = rate > best ? rate : best;
        }
        std::printf("%s %.2f %llu\n", pass.name, best,
                    static_cast<unsigned long long>(count.pieces));
    }
    return 0;
}
