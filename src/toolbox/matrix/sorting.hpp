// Sorting of data that may hold missing values, and the values at chosen
// places of a sorted order without sorting everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "toolbox/matrix/array.hpp"

namespace toolbox::matrix::sorting {

// The non-NaN values of `data`, in input order.
Vector non_nan_values(VecView data);

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

// Sorts values without NaN ascending, equal values (-0.0 and +0.0 among them)
// in their input order: the one sequence every stable sort by `<` gives.
void stable_sort_finite_order(std::span<double> values);

// The order in which `select_non_nan` places the non-NaN values.
enum class Order {
    // Ascending by `<`, equal values in input order: the order of
    // `sort_array`, in which -0.0 and +0.0 are equal.
    Stable,
    // Ascending by the total order of the bit patterns, in which -0.0 comes
    // before +0.0.
    Total,
};

// The non-NaN values of a sample placed in an order, read at chosen places
// without sorting them: a radix selection that counts the values by their
// leading bits once, then, for each set of places, gathers and orders only
// the few values near them. A small sample, for which the counting would
// cost more than the sorting, is simply sorted. The values read are exactly
// the elements of the sorted sequence. Borrows the sample, which must
// outlive it.
class OrderStatistics {
public:
    OrderStatistics(VecView data, Order order);

    // The number of non-NaN values.
    std::size_t size() const noexcept { return size_; }

    // The values at `positions` (each below size()), one to each entry of `out`.
    void select(std::span<const std::size_t> positions, std::span<double> out) const;

private:
    VecView data_;
    Order order_;
    std::size_t size_ = 0;
    std::size_t negatives_ = 0;
    std::vector<std::size_t> start_;  // first place of each leading-bits bucket, and the end
    Vector sorted_;                   // a small sample, sorted in its order
};

// One selection from `data`: OrderStatistics(data, order).select(positions,
// out). Returns the number of non-NaN values.
std::size_t select_non_nan(VecView data, Order order, std::span<const std::size_t> positions, std::span<double> out);

// The number of non-NaN values of `data`.
std::size_t count_non_nan(VecView data);

}  // namespace toolbox::matrix::sorting
