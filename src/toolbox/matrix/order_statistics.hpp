// The values at chosen places of the sorted order of a sample that may hold
// missing values, without sorting the sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/sorting.hpp"

namespace toolbox::matrix::sorting {

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
