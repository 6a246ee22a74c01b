// The output file's name comes from the input's path.
#pragma once

#include <string_view>

namespace decode {

// The path cut before its first '.' after any leading dots. The cut may fall
// in a directory part (dir.d/file.txt gives dir), and a path of dots only
// keeps them all.
constexpr std::string_view stem(std::string_view path)
{
    const std::size_t lead = path.find_first_not_of('.');
    if (lead == std::string_view::npos)
        return path;
    const std::size_t cut = path.find('.', lead);
    return {path.data(), cut == std::string_view::npos ? path.size() : cut};
}

} // namespace decode
