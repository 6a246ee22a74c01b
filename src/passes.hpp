// The block passes behind translate(): the shape of the work, its contract,
// and, for the tests, the fuzz target and bench_pass, each of its two
// implementations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace decode {

// Input is read and translated a block at a time, which stays in the
// second-level cache: 128, 256 and 512 KiB ran alike, 1 MiB 10% slower.
inline constexpr std::size_t block_size = std::size_t{256} * 1024;

// A block is taken a chunk at a time: long enough that the sums at its end
// cost little (64 bytes ran at 5.5 GB/s in cache, 128 at 8), short enough
// that a position + 1 fits a byte.
inline constexpr std::size_t chunk = 128;

// A piece is what one read of a line with a 4095-byte buffer (its last byte
// kept for the terminating zero) yields: the bytes up to and including a line
// feed, or 4094 bytes, or the rest of the input, whichever is shortest.
inline constexpr std::uint64_t piece_limit = 4094;

// Pieces complete so far, and the bytes of the one still open (always
// fewer than piece_limit).
struct piece_count {
    std::uint64_t pieces = 0;
    std::uint64_t open_piece = 0;
};

// All pieces of the input once it has ended, the open one included.
inline std::uint64_t pieces_at_end(const piece_count &count)
{
    return count.pieces + (count.open_piece > 0 ? 1 : 0);
}

// Clears bit 7 of every byte in place and counts the pieces that complete in
// the block, at a line feed or at their piece_limit-th byte, judging line
// feeds by the raw bytes (0x8A does not end a piece).
void translate_block(std::span<unsigned char> block, piece_count &count);

// For the tests and benchmarks: the two implementations of translate_block,
// with its contract. Sixteen bytes at a time in vector registers; and a
// machine word at a time in ordinary registers, faster where the target has
// no vector unit. translate_block is the word pass where the compiler says
// there is none (Debian's i386, armel, armhf, mips64el, riscv64 and s390x
// baselines among them), or where the build asks (DECODE_PORTABLE_PASS).
void translate_block_vectorised(std::span<unsigned char> block, piece_count &count);
void translate_block_words(std::span<unsigned char> block, piece_count &count);
inline constexpr bool word_pass =
#if defined(DECODE_PORTABLE_PASS) ||                                                               \
    !(defined(__SSE2__) || defined(__ARM_NEON) || defined(__ALTIVEC__) || defined(__VX__) ||       \
      defined(__loongarch_sx) || defined(__riscv_vector) || defined(__mips_msa))
    true;
#else
    false;
#endif

} // namespace decode
