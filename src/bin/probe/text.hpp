// UTF-8 helpers of the probe. The probe never links the engine, so it keeps
// its own small copies of the checks it needs on environment values, paths
// and the texts a library hands back.
#pragma once

#include <string>
#include <string_view>

namespace probe::text {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Removes leading and trailing characters of the Unicode White_Space set
// (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000). The input must be valid UTF-8.
std::string_view trim_white_space(std::string_view utf8) noexcept;

// The bytes as UTF-8 text for display: every maximal ill-formed subsequence
// becomes one U+FFFD REPLACEMENT CHARACTER, so a path with stray bytes still
// prints as readable text.
std::string display_lossy(std::string_view bytes);

}  // namespace probe::text
