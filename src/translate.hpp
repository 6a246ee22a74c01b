// The translation pass: copies a file with bit 7 of every byte cleared and
// counts the pieces that a line-at-a-time reader would have seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace decode {

// Input is read and translated a block at a time. 256 KiB stays in the
// second-level cache while it is translated and written back: on a 1 GiB
// copy 128, 256 and 512 KiB ran alike, and 1 MiB ran about 10% slower.
inline constexpr std::size_t block_size = std::size_t{256} * 1024;

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

// Clears bit 7 of every byte in place and counts the pieces that complete in
// the block, at a line feed or at their piece_limit-th byte, judging line
// feeds by the raw bytes (0x8A does not end a piece).
void translate_block(std::span<unsigned char> block, piece_count &count);

// The two implementations of translate_block, with its contract: sixteen
// bytes at a time in vector registers, and a machine word at a time in
// ordinary registers, faster where the target has no vector unit.
void translate_block_vectorised(std::span<unsigned char> block, piece_count &count);
void translate_block_words(std::span<unsigned char> block, piece_count &count);

// translate_block is the word pass where the compiler says the target has no
// vector unit (Debian's i386, armel, armhf, mips64el, riscv64 and s390x
// baselines among them), or where the build asks for it
// (DECODE_PORTABLE_PASS).
inline constexpr bool word_pass =
#if defined(DECODE_PORTABLE_PASS) ||                                                               \
    !(defined(__SSE2__) || defined(__ARM_NEON) || defined(__ALTIVEC__) || defined(__VX__) ||       \
      defined(__loongarch_sx) || defined(__riscv_vector) || defined(__mips_msa))
    true;
#else
    false;
#endif

// All pieces of the input once it has ended, the open one included.
std::uint64_t pieces_at_end(const piece_count &count);

// Writes all of data, through short writes and interruptions. Where fd is
// non-blocking, as a standard output shared with a caller may be, it waits
// until fd takes more instead of failing.
bool write_all(int fd, std::span<const unsigned char> data);

enum class outcome { done, read_failed, write_failed };

struct pass_result {
    outcome status;
    std::uint64_t pieces;
};

// Copies input to output, translated, and writes one '.' per piece to
// progress. Progress is a courtesy: once it fails it is dropped, and the copy
// goes on.
pass_result translate(int input, int output, int progress);

} // namespace decode
