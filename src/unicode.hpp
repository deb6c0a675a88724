// Unicode helpers on UTF-8 text: White_Space, decoding, lossy conversion and
// the character classes that the quoted (debug) form of a text needs.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vesk::unicode {

// One decoding step at a byte offset. On a valid sequence `valid` is true and
// `length` counts its bytes; otherwise `length` is the maximal prefix of a valid
// sequence (at least 1) and `truncated` tells whether the input ended inside it.
struct Decoded {
  char32_t code_point = 0;
  std::size_t length = 1;
  bool valid = false;
  bool truncated = false;
};

Decoded decode_at(std::string_view bytes, std::size_t pos);

// Where UTF-8 validation stops: the offset of the first bad sequence and its
// length (none when the input ends inside a sequence).
struct Utf8Fault {
  std::size_t valid_up_to = 0;
  std::optional<std::size_t> error_len;
};

std::optional<Utf8Fault> first_utf8_fault(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// Appends the UTF-8 encoding of a code point (no validity check).
void append_utf8(std::string& out, char32_t cp);

// The Unicode White_Space property (25 code points).
bool is_white_space(char32_t cp);

// Removes leading and trailing White_Space. The view form makes no copy, for
// callers whose text is secret.
std::string_view trim_view(std::string_view text);
std::string trim(std::string_view text);

// The first two tokens of a text split at runs of White_Space (empty when
// missing); bytes that are not UTF-8 count as part of a token. SSH key lines
// are compared by these: key type and key blob, whatever the comment.
std::array<std::string_view, 2> first_two_tokens(std::string_view text);

// Decodes bytes as UTF-8, putting U+FFFD in place of each maximal invalid subsequence.
std::string lossy_utf8(std::string_view bytes);

// The text between double quotes, escaped the way Rust's `{:?}` shows a str:
// \0 \t \r \n \\ \" as such; control, unprintable and grapheme-extending
// characters as \u{hex}; everything else unchanged.
std::string debug_quoted(std::string_view text);

// Generated from the Unicode 17.0 data (unicode_tables.cpp).
bool is_printable(char32_t cp);          // general category outside C*, Z* (SPACE aside)
bool is_grapheme_extend(char32_t cp);    // Mn + Me + Other_Grapheme_Extend

}  // namespace vesk::unicode
