// Smart split: splitting source-like text at a delimiter only at its top
// level, ignoring delimiters inside quoted strings ('...', "...", '''...''',
// """..."""), raw strings (R"tag(...)tag"), comments (// to the end of the line,
// /* ... */) and the bracket pairs (), [] and {}.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The parts of `text`, at most `max_parts` of them (all bits set: no limit,
// 0 behaves as 1); with `strip` each part is trimmed of white space. An empty
// delimiter gives the whole text as one untrimmed part; an empty text gives
// one empty part. Unbalanced input is never an error: an open string,
// comment or bracket simply stops splitting until it closes.
std::vector<std::string> lum_string_smart_split(std::string_view text, std::string_view delimiter, uint64_t max_parts,
                                                bool strip);
// The same parts as views into `text`.
std::vector<std::string_view> lum_string_smart_split_views(std::string_view text, std::string_view delimiter,
                                                           uint64_t max_parts, bool strip);
