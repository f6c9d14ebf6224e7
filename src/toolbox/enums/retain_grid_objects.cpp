#include "toolbox/enums/retain_grid_objects.hpp"

#include <algorithm>
#include <string>

#include "toolbox/format.hpp"
#include "toolbox/text.hpp"

namespace toolbox::enums {
namespace {

std::string valid_keys_list() {
    std::string joined;
    for (std::string_view key : GRID_RETAIN_KEY_NAMES) {
        if (!joined.empty()) joined += ", ";
        joined += key;
    }
    return joined;
}

std::string_view strip_quotes(std::string_view piece) {
    const auto is_quote = [](char c) { return c == '\'' || c == '"'; };
    while (!piece.empty() && is_quote(piece.front())) piece.remove_prefix(1);
    while (!piece.empty() && is_quote(piece.back())) piece.remove_suffix(1);
    return piece;
}

}  // namespace

std::string_view grid_retain_key_name(GridRetainKey key) noexcept {
    return GRID_RETAIN_KEY_NAMES[static_cast<std::size_t>(key)];
}

Result<GridRetainKey> grid_retain_key_from_str(std::string_view text) {
    const std::string_view word = text::trim_unicode_whitespace(text);
    for (std::size_t code = 0; code < GRID_RETAIN_KEY_NAMES.size(); ++code) {
        if (word == GRID_RETAIN_KEY_NAMES[code]) return static_cast<GridRetainKey>(code);
    }
    return compute_error(toolbox::format("Invalid retain_grid_objects key: '{}'. Valid keys: {}", word, valid_keys_list()));
}

bool lists_key(const RetainGridObjects& retain, GridRetainKey key) noexcept {
    return retain.kind == RetainGridObjects::Kind::Keys && std::ranges::find(retain.keys, key) != retain.keys.end();
}

bool retains_any(const RetainGridObjects& retain, std::initializer_list<GridRetainKey> keys) noexcept {
    if (retain.kind == RetainGridObjects::Kind::All) return true;
    return std::ranges::any_of(keys, [&](GridRetainKey key) { return lists_key(retain, key); });
}

bool retains_cells(const RetainGridObjects& retain) noexcept {
    return retain.kind == RetainGridObjects::Kind::All ||
           (retain.kind == RetainGridObjects::Kind::Keys && !retain.keys.empty());
}

bool allocates_ysolo_cells(const RetainGridObjects& retain) noexcept {
    return retains_any(retain, {GridRetainKey::YsoloDistribution, GridRetainKey::YsoloCells});
}

Result<RetainGridObjects> retain_grid_objects_from_str(std::string_view text) {
    std::string_view rest = text::trim_unicode_whitespace(text);
    if (rest.empty()) return RetainGridObjects::none();

    // ASCII lower-casing accepts exactly the texts that the full Unicode
    // lower-case mapping would: the only non-ASCII character it sends into
    // ASCII is U+212A KELVIN SIGN (to 'k'), and none of these words has a 'k'.
    const std::string word = text::ascii_lower(rest);
    if (word == "0" || word == "none" || word == "false") return RetainGridObjects::none();
    if (word == "1" || word == "all" || word == "true") return RetainGridObjects::all();

    // A key list keeps its letters as given: keys are case-sensitive.
    while (!rest.empty() && rest.front() == '[') rest.remove_prefix(1);
    while (!rest.empty() && rest.back() == ']') rest.remove_suffix(1);

    std::vector<GridRetainKey> keys;
    std::size_t start = 0;
    while (start <= rest.size()) {
        const std::size_t comma = std::min(rest.find(',', start), rest.size());
        const std::string_view piece = strip_quotes(text::trim_unicode_whitespace(rest.substr(start, comma - start)));
        // Quotes may have shielded blanks ("' k_cells '"): trim once more.
        const std::string_view key_text = text::trim_unicode_whitespace(piece);
        if (!key_text.empty()) {
            auto key = grid_retain_key_from_str(key_text);
            if (!key) return std::unexpected(std::move(key.error()));
            keys.push_back(*key);
        }
        start = comma + 1;
    }
    return RetainGridObjects::of_keys(std::move(keys));
}

}  // namespace toolbox::enums
