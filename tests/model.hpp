// The plain model that the pass is checked against: one piece at a time, as
// a line read with a 4095-byte buffer would take them.
#pragma once

#include "translate.hpp"

#include <cstdint>
#include <string_view>

inline std::uint64_t model_pieces(std::string_view input)
{
    std::uint64_t pieces = 0, piece = 0;
    for (const char byte : input) {
        if (++piece == decode::piece_limit || byte == '\n') {
            ++pieces;
            piece = 0;
        }
    }
    return pieces + (piece > 0);
}
