#include "stem.hpp"

#include <gtest/gtest.h>

TEST(Stem, CutsBeforeTheFirstDotAfterLeadingDots)
{
    const std::pair<std::string_view, std::string_view> table[] = {
        {"notes.txt", "notes"},
        {"archive.tar.gz", "archive"},
        {"README", "README"},
        {"dir.d/file.txt", "dir"},
        {"../notes.txt", "../notes"},
        {"./data/file.txt", "./data/file"},
        {".profile", ".profile"},
        {".x.txt", ".x"},
        {"mail/.profile", "mail/"},
        {"./.profile", "./"},
        {"..", ".."},
        {"", ""},
    };
    for (const auto &[path, stem] : table)
        EXPECT_EQ(decode::stem(path), stem) << path;
}
