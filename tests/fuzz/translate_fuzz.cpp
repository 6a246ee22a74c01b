// Feeds both implementations of the pass arbitrary bytes in arbitrary read
// sizes and checks the output byte for byte and the piece count, after
// every read, against a plain model.
#include "../model.hpp"
#include "passes.hpp"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes choose the read sizes; the rest is the input.
    const std::uint32_t sizes = data[0] | data[1] << 8 | 1u << 16;
    const std::vector<unsigned char> input(data + 2, data + size);

    // Both implementations of the pass, with the same read sizes.
    for (const auto translate_block :
         {decode::translate_block_vectorised, decode::translate_block_words}) {
        std::uint32_t steps = sizes;
        std::vector<unsigned char> bytes = input;
        decode::piece_count count;
        model_count model;
        for (std::size_t at = 0; at < bytes.size();) {
            steps = steps * 1103515245u + 12345u;
            const std::size_t step =
                std::min<std::size_t>(1 + (steps >> 16) % 600, bytes.size() - at);
            translate_block({bytes.data() + at, step}, count);
            model.read({reinterpret_cast<const char *>(input.data()) + at, step});
            // Each piece is counted in the read that completes it.
            if (count.pieces != model.complete)
                std::abort();
            at += step;
        }
        for (std::size_t i = 0; i < input.size(); ++i)
            if (bytes[i] != (input[i] & 0x7f))
                std::abort();
        if (decode::pieces_at_end(count) != model.at_end())
            std::abort();
    }
    return 0;
}
