// The translation pass: reads a block at a time, translates it in place and
// writes it out, with a dot for each piece that completes.
#include "translate.hpp"

#include "descriptors.hpp"
#include "passes.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <unistd.h>

namespace decode {
namespace {

// The dots come from one array, so that a block's worth costs one write.
constexpr auto dots = [] {
    std::array<unsigned char, std::size_t{64} * 1024> row{};
    row.fill('.');
    return row;
}();

// Returns the descriptor to use from now on: -1 once it has failed.
int show_dots(int progress, std::uint64_t count)
{
    while (progress >= 0 && count > 0) {
        const std::size_t size = std::min<std::uint64_t>(count, dots.size());
        if (!write_all(progress, {dots.data(), size}))
            return -1;
        count -= size;
    }
    return progress;
}

} // namespace

pass_result translate(int input, int output, int progress)
{
    alignas(chunk) static std::array<unsigned char, block_size> block;
    piece_count count;
    for (;;) {
        const ssize_t got = ::read(input, block.data(), block.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return {outcome::read_failed, count.pieces};
        if (got == 0)
            break;
        const std::span<unsigned char> bytes{block.data(), static_cast<std::size_t>(got)};
        const std::uint64_t before = count.pieces;
        translate_block(bytes, count);
        if (!write_all(output, bytes))
            return {outcome::write_failed, count.pieces};
        progress = show_dots(progress, count.pieces - before);
    }
    const std::uint64_t pieces = pieces_at_end(count);
    show_dots(progress, pieces - count.pieces);
    return {outcome::done, pieces};
}

} // namespace decode
