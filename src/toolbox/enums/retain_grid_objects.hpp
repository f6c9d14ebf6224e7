// Which per-cell details a grid run keeps besides its composite result.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "toolbox/error.hpp"

namespace toolbox::enums {

// One kind of per-cell detail; the code is the place of its key in
// GRID_RETAIN_KEY_NAMES.
enum class GridRetainKey : std::uint8_t {
    YhatCells = 0,
    AdjustedFitCells = 1,
    NCells = 2,
    WeightsCells = 3,
    KCells = 4,
    CombiCells = 5,
    YsoloDistribution = 6,
    YsoloCells = 7,
};

inline constexpr std::array<std::string_view, 8> GRID_RETAIN_KEY_NAMES = {
    "yhat_cells", "adjusted_fit_cells", "n_cells", "weights_cells",
    "k_cells",    "combi_cells",        "ysolo_distribution", "ysolo_cells",
};

std::string_view grid_retain_key_name(GridRetainKey key) noexcept;

// The key written exactly (case-sensitive) after trimming Unicode white space,
// or "Invalid retain_grid_objects key: '<trimmed text>'. Valid keys: <the
// eight keys joined by ", ">". The text must be valid UTF-8.
Result<GridRetainKey> grid_retain_key_from_str(std::string_view text);

// Keep no cell details, every detail, or the listed ones. A list may be empty
// and is then still distinct from None; it keeps the caller's order and
// duplicates.
struct RetainGridObjects {
    enum class Kind : std::uint8_t { None, All, Keys };

    Kind kind = Kind::None;
    std::vector<GridRetainKey> keys;  // only for Kind::Keys; empty otherwise

    static RetainGridObjects none() { return {}; }
    static RetainGridObjects all() { return {Kind::All, {}}; }
    static RetainGridObjects of_keys(std::vector<GridRetainKey> list) { return {Kind::Keys, std::move(list)}; }

    bool operator==(const RetainGridObjects&) const = default;
};

// Whether the option is a key list that names `key`.
bool lists_key(const RetainGridObjects& retain, GridRetainKey key) noexcept;

// Whether the option keeps any of `keys`: always for All, never for None, and
// for a list when it names one of them.
bool retains_any(const RetainGridObjects& retain, std::initializer_list<GridRetainKey> keys) noexcept;

// Whether a grid run keeps any cell detail at all: All, or a list with a key.
bool retains_cells(const RetainGridObjects& retain) noexcept;

// Whether a grid run must hold the per-cell solo values: always for All, never
// for None, and for a list when it names the solo distribution or the solo
// cells.
bool allocates_ysolo_cells(const RetainGridObjects& retain) noexcept;

// Blank text, or "0", "none", "false" in any ASCII letter case: None; "1",
// "all", "true": All. Anything else is read as a key list, with or without
// brackets, keys separated by commas and optionally quoted: "[yhat_cells,
// 'k_cells']". The first bad key fails the whole parse with its message. The
// text must be valid UTF-8.
Result<RetainGridObjects> retain_grid_objects_from_str(std::string_view text);

}  // namespace toolbox::enums
