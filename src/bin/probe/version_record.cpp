#include "bin/probe/version_record.hpp"

#include <cstddef>

#include "bin/probe/text.hpp"

namespace ffi {
namespace {

// Spelled in two pieces so that no source holds the whole marker: a scan of
// the sources for it finds only the one that writes the record.
constexpr std::string_view MARKER = "QEL-ENGINE-" "VERSION=";
static_assert(MARKER.size() == 19);

}  // namespace

std::optional<std::string_view> parse_engine_version_record(std::string_view bytes) noexcept {
    if (bytes.size() < MARKER.size()) return std::nullopt;
    const std::size_t at = bytes.find(MARKER);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t start = at + MARKER.size();
    if (start >= bytes.size()) return std::nullopt;
    const std::size_t stop = bytes.find_first_of(std::string_view("\0\n", 2), start);
    if (stop == std::string_view::npos) return std::nullopt;
    const std::string_view version = bytes.substr(start, stop - start);
    if (version.empty() || !probe::text::is_valid_utf8(version)) return std::nullopt;
    return version;
}

}  // namespace ffi
