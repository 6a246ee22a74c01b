// The block passes: each translates a block in place, a chunk at a time,
// and counts the pieces that complete in it.
#include "passes.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

namespace decode {
namespace {

static_assert(chunk < 256, "a position + 1 must fit a byte");
static_assert(chunk < piece_limit, "at most one piece may end by its length in a chunk");

// What a chunk's line feeds tell the count: how many there are, and the
// position + 1 of the first (where it is needed) and of the last.
struct feeds_in_chunk {
    unsigned feeds;
    unsigned first;
    unsigned last;

    // Adds a chunk of size bytes with these feeds to the count; long_line
    // where the open piece may fill up in it.
    [[gnu::always_inline]] void add_to(piece_count &count, std::size_t size, bool long_line) const
    {
        if (feeds == 0) {
            count.open_piece += size;
            // A piece is complete with its last byte, whether or not a line
            // feed follows, so that progress moves on a line of any length.
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
};

// The length of a chunk: the constant chunk size, as a type, so that the
// compiler knows it in the passes' loops; or, for the block's last part,
// any size below it.
using whole_chunk = std::integral_constant<std::size_t, chunk>;

// The open piece can fill up in a chunk only where it is long already;
// elsewhere the first line feed's position is not needed.
template <typename chunk_length> bool may_fill(const piece_count &count, chunk_length length)
{
    return count.open_piece + length >= piece_limit;
}

// Sixteen bytes at a time in the target's vector registers, written with
// the compilers' vector extensions, since their auto-vectorisers leave the
// byte loop scalar at some levels (doc/performance.md). The block's last
// part, under a chunk, goes a byte at a time.
struct vectorised {
    using vector = unsigned char __attribute__((vector_size(16)));
    using two_words = std::uint64_t __attribute__((vector_size(16)));
    static constexpr std::size_t width = sizeof(vector);
    // Position + 1 of each byte in a vector, so that min and max over the
    // line feeds' positions can be taken without branches.
    static constexpr vector lane_positions = {1, 2,  3,  4,  5,  6,  7,  8,
                                              9, 10, 11, 12, 13, 14, 15, 16};

    // The largest or the smallest byte: each word folded onto its low
    // byte, whatever the byte order, then the two words.
    template <bool smallest> [[gnu::always_inline]] static unsigned fold(vector bytes)
    {
        for (const unsigned shift : {8U, 16U, 32U}) {
            const auto moved =
                reinterpret_cast<vector>(reinterpret_cast<two_words>(bytes) >> shift);
            if constexpr (smallest)
                bytes = moved < bytes ? moved : bytes;
            else
                bytes = moved > bytes ? moved : bytes;
        }
        const two_words low = reinterpret_cast<two_words>(bytes) & 0xff;
        return static_cast<unsigned>(smallest ? std::min(low[0], low[1])
                                              : std::max(low[0], low[1]));
    }

    template <bool long_line>
    [[gnu::always_inline]] static feeds_in_chunk scan(unsigned char *bytes, whole_chunk /*length*/)
    {
        vector feeds{};
        vector first = ~vector{}; // position + 1 of each lane's first line feed
        vector last{};            // and of its last
        vector position = lane_positions;
        // Unrolled, which g++ does not do at -O2 and -Os of itself.
#pragma GCC unroll 8
        for (std::size_t at = 0; at < chunk; at += width, position += width) {
            vector raw;
            std::memcpy(&raw, bytes + at, width);
            const auto feed = reinterpret_cast<vector>(raw == '\n');
            feeds -= feed;
            if (long_line)
                first = first < (~feed | position) ? first : (~feed | position);
            last = last > (feed & position) ? last : (feed & position);
            const vector translated = raw & 0x7f;
            std::memcpy(bytes + at, &translated, width);
        }
        const two_words lanes = reinterpret_cast<two_words>(feeds);
        constexpr std::uint64_t ones = ~std::uint64_t{0} / 0xff;
        const auto total = static_cast<unsigned>(((lanes[0] + lanes[1]) * ones) >> 56);
        if (total == 0)
            return {0, 0, 0};
        return {total, long_line ? fold<true>(first) : 0, fold<false>(last)};
    }

    template <bool long_line> static feeds_in_chunk scan(unsigned char *bytes, std::size_t length)
    {
        unsigned char feeds = 0;
        unsigned char first = 0xff; // position + 1 of the first line feed
        unsigned char last = 0;     // position + 1 of the last line feed
        for (std::size_t i = 0; i < length; ++i) {
            const unsigned char byte = bytes[i];
            const unsigned char feed = -static_cast<unsigned char>(byte == '\n');
            feeds -= feed;
            const auto position = static_cast<unsigned char>(i + 1);
            if (long_line)
                first = std::min<unsigned char>(first, ~feed | position);
            last = std::max<unsigned char>(last, feed & position);
            bytes[i] = byte & 0x7f;
        }
        return {feeds, first, last};
    }

    // The first feed's position costs a min a vector: a loop without it
    // serves the chunks where it is not needed.
    template <typename chunk_length>
    [[gnu::always_inline]] static void translate(unsigned char *bytes, chunk_length length,
                                                 piece_count &count)
    {
        if (may_fill(count, length))
            scan<true>(bytes, length).add_to(count, length, true);
        else
            scan<false>(bytes, length).add_to(count, length, false);
    }
};

// A machine word at a time in ordinary registers, for targets without a
// vector unit, where the loop above stays a byte loop.
struct words {
    using word = std::uintptr_t;
    static constexpr unsigned size = sizeof(word);
    static constexpr std::size_t pair = 2 * std::size_t{size};
    static_assert(chunk / pair <= 32, "a bit for each pair of words in 32 bits");
    static constexpr word ones = ~word{0} / 0xff; // 0x0101...01
    static constexpr word low7 = ones * 0x7f;

    // Bit 7 of each byte of raw that is a line feed, and no other bit, from
    // raw and its translation (raw & low7): no carry crosses a byte, so a
    // feed never marks its neighbour.
    [[gnu::always_inline]] static word feed_bits(word raw, word translated)
    {
        return ~(((translated ^ (ones * '\n')) + low7) | raw | low7);
    }

    // Where a word's marked bytes stand in memory: the first byte in memory
    // is the word's lowest on a little-endian machine, its highest on a
    // big-endian one. Counted once a chunk, so a slow count costs little.
    static unsigned first_byte(word bits)
    {
        const int zeros = std::endian::native == std::endian::little ? std::countr_zero(bits)
                                                                     : std::countl_zero(bits);
        return static_cast<unsigned>(zeros) / 8;
    }
    static unsigned last_byte(word bits)
    {
        const int zeros = std::endian::native == std::endian::little ? std::countl_zero(bits)
                                                                     : std::countr_zero(bits);
        return size - 1 - static_cast<unsigned>(zeros) / 8;
    }

    // Calls step_pair(at) for each pair of words in a chunk, unrolled.
    template <typename step, std::size_t... pairs>
    [[gnu::always_inline]] static void for_each_pair(step step_pair,
                                                     std::index_sequence<pairs...> /*all*/)
    {
        (step_pair(pairs * pair), ...);
    }

    // Translates a chunk and finds its feeds, and the first one's position
    // where long_line asks for it.
    template <typename chunk_length>
    [[gnu::always_inline]] static feeds_in_chunk scan(unsigned char *bytes, chunk_length length,
                                                      bool long_line)
    {
        // No branch per word, since feeds come at random every few words:
        // each word's feeds are kept and summed in each byte's lane, and a
        // pair of words that moved the sums gets a bit. A chunk holds too
        // few for a lane, or their total, to pass 255, so one multiply adds
        // the lanes up at the end, and no bit count is needed per word.
        // A plain array: std::array's [] checks its index where the library's
        // assertions are on, and clang++ then calls into the C++ runtime.
        word marks[chunk / size] = {};
        std::uint32_t marked = 0;
        word lanes = 0;
        const auto step = [&](std::size_t at, std::size_t width) __attribute__((always_inline))
        {
            word w = 0; // the bytes past the end stay 0, never a line feed
            std::memcpy(&w, bytes + at, width);
            const word translated = w & low7;
            const word bits = feed_bits(w, translated);
            std::memcpy(bytes + at, &translated, width);
            marks[at / size] = bits;
            lanes += bits >> 7;
        };
        const auto step_pair = [&](std::size_t at) __attribute__((always_inline))
        {
            const word before = lanes;
            step(at, size);
            step(at + size, size);
            marked |= std::uint32_t{lanes != before} << (at / pair);
        };
        if constexpr (std::is_same_v<chunk_length, whole_chunk>) {
            // Unrolled by hand, as g++ does only at -O3.
            for_each_pair(step_pair, std::make_index_sequence<chunk / pair>{});
        } else {
            std::size_t at = 0;
            for (; at + pair <= length; at += pair)
                step_pair(at);
            for (; at < length; at += size) {
                const word before = lanes;
                step(at, std::min<std::size_t>(size, length - at));
                marked |= std::uint32_t{lanes != before} << (at / pair);
            }
        }
        if (marked == 0)
            return {0, 0, 0};
        const auto feeds = static_cast<unsigned>((lanes * ones) >> (8 * (size - 1)));
        // The first and last pair with a feed, then the word in it.
        auto first = 2 * static_cast<unsigned>(std::countr_zero(marked));
        first += marks[first] == 0 ? 1 : 0;
        auto last = 2 * static_cast<unsigned>(31 - std::countl_zero(marked));
        last += marks[last + 1] != 0 ? 1 : 0;
        return {feeds, long_line ? first * size + first_byte(marks[first]) + 1 : 0,
                last * size + last_byte(marks[last]) + 1};
    }

    // One body for chunks of both kinds, the first feed's position taken
    // after it: with a copy on each side of a branch, g++ spills registers.
    template <typename chunk_length>
    [[gnu::always_inline]] static void translate(unsigned char *bytes, chunk_length length,
                                                 piece_count &count)
    {
        const bool long_line = may_fill(count, length);
        scan(bytes, length, long_line).add_to(count, length, long_line);
    }
};

// Translates a block a chunk at a time with one of the two.
template <typename pass> void translate_chunks(std::span<unsigned char> block, piece_count &count)
{
    unsigned char *bytes = block.data();
    std::size_t size = block.size();
    for (; size >= chunk; bytes += chunk, size -= chunk)
        pass::translate(bytes, whole_chunk{}, count);
    pass::translate(bytes, size, count);
}

} // namespace

void translate_block_vectorised(std::span<unsigned char> block, piece_count &count)
{
    translate_chunks<vectorised>(block, count);
}

void translate_block_words(std::span<unsigned char> block, piece_count &count)
{
    translate_chunks<words>(block, count);
}

void translate_block(std::span<unsigned char> block, piece_count &count)
{
    if constexpr (word_pass)
        translate_block_words(block, count);
    else
        translate_block_vectorised(block, count);
}

} // namespace decode
