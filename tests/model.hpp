// The plain model that the pass is checked against, with its own numbers:
// a line read with a 4095-byte buffer, whose last byte is kept for the
// terminating zero, yields at most 4094 bytes, and stops after a line feed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct model_count {
    std::uint64_t complete = 0; // pieces whose last byte has been read
    std::uint64_t open = 0;     // bytes read of the piece still open

    void read(std::string_view bytes)
    {
        for (const char byte : bytes) {
            if (++open == 4094 || byte == '\n') {
                ++complete;
                open = 0;
            }
        }
    }
    std::uint64_t at_end() const { return complete + (open > 0); }
};

inline std::uint64_t model_pieces(std::string_view input)
{
    model_count count;
    count.read(input);
    return count.at_end();
}

// Every byte with bit 7 cleared, and nothing else changed.
inline std::string model_output(std::string input)
{
    for (char &byte : input)
        byte = static_cast<char>(byte & 0x7f);
    return input;
}
