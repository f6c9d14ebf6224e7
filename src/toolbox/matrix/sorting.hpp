// Sorting of data that may hold missing values, and the keys that order
// values as `<` does and as the IEEE total order does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::sorting {

// The non-NaN values of `data`, in input order.
Vector collect_non_nan(VecView data);

// The non-NaN values of `data`, ascending. Equal values (-0.0 and +0.0 among
// them) keep their input order.
Vector sort_array(VecView data);

// An unsigned key in the IEEE total order of the bit patterns (-0.0 before
// +0.0, NaN past the infinities): a negative value has every bit flipped,
// another its sign bit set. Computed without branches, as the signs of a
// sample are as good as random.
inline std::uint64_t total_order_key(double v) noexcept {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    const std::uint64_t negative = static_cast<std::uint64_t>(static_cast<std::int64_t>(b) >> 63);
    return b ^ (negative | (std::uint64_t{1} << 63));
}

// The key of both zeros in `order_key`.
inline constexpr std::uint64_t kZeroKey = std::uint64_t{1} << 63;

// A key in the order of `<`: the total-order key, with both zeros on one key,
// so that a stable sort by key is a stable sort by value.
inline std::uint64_t order_key(double v) noexcept { return v == 0.0 ? kZeroKey : total_order_key(v); }

// Sorts values without NaN ascending, equal values (-0.0 and +0.0 among them)
// in their input order: the one sequence every stable sort by `<` gives.
void stable_sort_finite_order(std::span<double> values);

// Ascending stable sort in which a value that does not compare (NaN) counts
// as equal to every other value.
void stable_sort_nan_equal(std::span<double> values);

}  // namespace toolbox::matrix::sorting
