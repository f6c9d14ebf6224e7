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

// Sorts values without NaN ascending, equal values (-0.0 and +0.0 among them)
// in their input order: the one sequence every stable sort by `<` gives.
void stable_sort_finite_order(std::span<double> values);

// Ascending stable sort in which a value that does not compare (NaN) counts
// as equal to every other value.
void stable_sort_nan_equal(std::span<double> values);

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
// without sorting them. A large sample is counted once by the leading bits
// of its values; then, for each set of places, only the few values near them
// are gathered and ordered. A small sample, for which the counting would
// cost more than the sample itself, keeps a copy of its values as keys of
// the order and selects each place from it, from the largest down, within
// the part before the place selected last. The values read are exactly the
// elements of the sorted sequence. Borrows the sample, which must outlive it.
class OrderStatistics {
public:
    OrderStatistics(VecView data, Order order);

    // The number of non-NaN values.
    std::size_t size() const noexcept { return size_; }

    // The values at `positions` (each below size(), in any order, repeats
    // allowed), one to each entry of `out`. Reorders the small sample's copy,
    // so a sample is read by one thread at a time.
    void select(std::span<const std::size_t> positions, std::span<double> out);

private:
    void select_from_keys(std::span<const std::size_t> positions, std::span<double> out);
    // A large sample's keys of a bucket, once gathered (null before).
    Array1<std::uint64_t>* gathered(std::size_t bucket);
    // Gathers the keys of `buckets` (none gathered yet) in one pass.
    void gather(std::span<const std::size_t> buckets);
    // The value that the sorted sequence holds at `position`, whose key is `key`.
    double value_at(std::size_t position, std::uint64_t key) const;

    VecView data_;
    Order order_;
    std::size_t size_ = 0;
    std::size_t negatives_ = 0;
    // A large sample: the first place of each leading-bits bucket (and the
    // end), and each part's count of every bucket.
    Array1<std::size_t> start_;
    std::size_t parts_ = 0;
    Array1<std::uint32_t> part_counts_;
    // The keys of the buckets that selections have read so far: a later
    // selection near the same places reads them again without a pass.
    struct Gathered {
        std::size_t bucket;
        Array1<std::uint64_t> keys;
    };
    std::vector<Gathered> gathered_;
    // A small sample: its non-NaN values (the first size_) as keys of the order.
    Array1<std::uint64_t> keys_;
};

// One selection from `data`: OrderStatistics(data, order).select(positions,
// out). Returns the number of non-NaN values.
std::size_t select_non_nan(VecView data, Order order, std::span<const std::size_t> positions, std::span<double> out);

}  // namespace toolbox::matrix::sorting
