// The plain model that the pass is checked against, with its own numbers:
// a line read with a 4095-byte buffer, whose last byte is kept for the
// terminating zero, yields at most 4094 bytes, and stops after a line feed.
#pragma once

#include <cstdint>
#include <string_view>

inline std::uint64_t model_pieces(std::string_view input)
{
    constexpr std::uint64_t bytes_per_piece = 4094;
    std::uint64_t pieces = 0, piece = 0;
    for (const char byte : input) {
        if (++piece == bytes_per_piece || byte == '\n') {
            ++pieces;
            piece = 0;
        }
    }
    return pieces + (piece > 0);
}
