// The version record that the engine library carries in its file: a marker,
// the version text and a NUL. The probe reads it from the file's bytes, so it
// can name the version of a library it cannot load.
#pragma once

#include <optional>
#include <string_view>

namespace ffi {

// The version text of the first record in `bytes`, borrowed from them; none
// when there is no marker, when the text is not ended by a NUL or line feed
// inside the buffer, or when it is empty or not valid UTF-8.
std::optional<std::string_view> parse_engine_version_record(std::string_view bytes) noexcept;

}  // namespace ffi
