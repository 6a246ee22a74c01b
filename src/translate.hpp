// The translation pass, as both programs use it: copies a file with bit 7 of
// every byte cleared and counts the pieces that a line-at-a-time reader
// would have seen. The block passes behind it are in passes.hpp.
#pragma once

#include <cstdint>

namespace decode {

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
