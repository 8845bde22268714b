// The text-level work of the regex methods, on plain byte strings: the walk
// over successive matches (findall, split), the replace loop with its "$"
// replacement format, and escaping. Usable on any thread; a matcher that
// exceeds its budget throws lum_regex_error, and what was handed to the
// callbacks before stays handed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "types/regex_engine.h"

// Walks the matches of `text` left to right: the first search starts at 0;
// after an empty match at p the walk stops at the end of the text, else a
// non-empty match at p is tried before searching from p + 1; after a
// non-empty match the search goes on from its end. Calls `on_match(begin, end)`
// per match.
void lum_regex_each_match(lum_regex_matcher& matcher, std::string_view text,
                          const std::function<void(size_t, size_t)>& on_match);

// The pieces between the matches of the walk above: when nothing matches the
// whole text (an empty text gives one empty piece); otherwise the piece
// before each match, empty ones included, and the rest after the last match
// when it is not empty. Pieces go to `on_piece` as they are found.
void lum_regex_split_pieces(lum_regex_matcher& matcher, std::string_view text,
                            const std::function<void(std::string_view)>& on_piece);

// `text` with every match replaced by `replacement` as expanded below. The
// first search is always made (also on an empty text); after an empty match
// at p a non-empty match at p, or a match further on, is taken; the loop
// stops once the position reaches the end of the text.
// Replacement: "$$" gives "$", "$&" the match, "$`" the text between the
// previous match (or the start) and the match, "$'" the text after the
// match, "$n" / "$nn" capture group n (nothing when it did not take part or
// does not exist; "$0" and "$00" are copied as they are); a "$" before any
// other byte, or at the end, is copied.
// Expanding the replacement counts against the matcher's step budget
// (error_complexity); a replaced text longer than its max_output_bytes
// throws error_space.
std::string lum_regex_replace_text(lum_regex_matcher& matcher, std::string_view text, std::string_view replacement);

// `text` with a backslash before each of . ^ $ | ( ) [ ] { } * + ? and \.
std::string lum_regex_escape_text(std::string_view text);
