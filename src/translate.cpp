#include "translate.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace decode {
namespace {

// Bytes are taken 128 at a time: long enough that the sums at the end of a
// chunk cost little (64 ran at 5.5 GB/s in cache, 128 at 8 GB/s), short
// enough that a position + 1 fits a byte.
constexpr std::size_t chunk = 128;
static_assert(chunk < 256, "a position + 1 must fit a byte");
static_assert(chunk < piece_limit, "at most one piece may end by its length in a chunk");

// Position + 1 of each byte in a chunk, so that min and max over the line
// feeds' positions can be taken without branches.
constexpr auto positions = [] {
    std::array<unsigned char, chunk> table{};
    for (std::size_t i = 0; i < chunk; ++i)
        table[i] = static_cast<unsigned char>(i + 1);
    return table;
}();

// Translates up to a chunk of bytes and updates the count. Called with the
// constant chunk size this loop is vectorised (g++ -O2 included); a loop over
// a whole block, or one whose length is not known, is left as bytes. Where
// the open piece is too short to fill up in this chunk, the first line
// feed's position is not needed, and the loop does less.
template <bool long_line>
[[gnu::always_inline]] inline void translate_chunk(unsigned char *bytes, std::size_t size,
                                                   piece_count &count)
{
    unsigned char feeds = 0;
    unsigned char first = 0xff; // position + 1 of the first line feed
    unsigned char last = 0;     // position + 1 of the last line feed
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = bytes[i];
        const unsigned char feed = -static_cast<unsigned char>(byte == '\n');
        feeds -= feed;
        if (long_line)
            first = std::min<unsigned char>(first, ~feed | positions[i]);
        last = std::max<unsigned char>(last, feed & positions[i]);
        bytes[i] = byte & 0x7f;
    }
    if (feeds == 0) {
        count.open_piece += size;
        // A piece is complete with its last byte, whether or not a line feed
        // follows, so that progress moves on a line of any length.
        if (long_line && count.open_piece >= piece_limit) {
            ++count.pieces;
            count.open_piece -= piece_limit;
        }
        return;
    }
    count.pieces += feeds;
    // Only the line that the first feed ends can hold a piece without one.
    if (long_line)
        count.pieces += (count.open_piece + first - 1) / piece_limit;
    count.open_piece = size - last;
}

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

bool write_all(int fd, std::span<const unsigned char> data)
{
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written > 0) {
            data = data.subspan(static_cast<std::size_t>(written));
            continue;
        }
        pollfd writable{fd, POLLOUT, 0};
        if (written == 0 || (errno != EINTR && (errno != EAGAIN || poll(&writable, 1, -1) < 0)))
            return false;
    }
    return true;
}

void translate_block(std::span<unsigned char> block, piece_count &count)
{
    unsigned char *bytes = block.data();
    std::size_t size = block.size();
    for (; size >= chunk; bytes += chunk, size -= chunk) {
        if (count.open_piece + chunk >= piece_limit)
            translate_chunk<true>(bytes, chunk, count);
        else
            translate_chunk<false>(bytes, chunk, count);
    }
    translate_chunk<true>(bytes, size, count);
}

std::uint64_t pieces_at_end(const piece_count &count)
{
    return count.pieces + (count.open_piece > 0 ? 1 : 0);
}

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
