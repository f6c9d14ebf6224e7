// Text helpers for option strings and messages: UTF-8 validation, trimming of
// Unicode white space, ASCII lower-casing and the quoted debug form that
// messages use to show a caller's text unchanged.
#pragma once

#include <string>
#include <string_view>

namespace toolbox::text {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Removes leading and trailing characters of the Unicode White_Space set
// (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000). The input must be valid UTF-8.
std::string_view trim_unicode_whitespace(std::string_view utf8) noexcept;

// Lower-cases A..Z only.
//
// For the option words this equals the full Unicode lower-case mapping
// followed by an exact comparison: the only non-ASCII character that maps into
// ASCII is U+212A KELVIN SIGN (to 'k'), and no accepted word contains a 'k'.
std::string ascii_lower(std::string_view text);

// The text in double quotes, with \" \\ \t \r \n escaped and every other
// control or non-printable character as \u{hex}. Valid UTF-8 expected.
std::string debug_quote(std::string_view utf8);

}  // namespace toolbox::text
