#include "toolbox/matrix/order_statistics.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/matrix/selection.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/simd.hpp"

namespace toolbox::matrix::sorting {

namespace {

// Selection keys. Under the stable order both zeros share one key, so their
// places are settled by their input order; under the total order every bit
// pattern has its own.
inline std::uint64_t key_in(Order order, double v) noexcept {
    return order == Order::Total ? total_order_key(v) : order_key(v);
}

inline double value_of_key(std::uint64_t key) noexcept {
    const std::uint64_t b = (key >> 63) ? (key & ~(std::uint64_t{1} << 63)) : ~key;
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

// The sign, the exponent and four bits of the significand: values of one
// binade still spread over sixteen buckets.
constexpr unsigned kSelectBits = 16;
constexpr std::size_t kSelectBuckets = std::size_t{1} << kSelectBits;

inline std::size_t bucket_of_key(std::uint64_t key) noexcept { return static_cast<std::size_t>(key >> (64 - kSelectBits)); }

template <Order O>
void count_buckets(VecView data, std::size_t first, std::size_t last, std::uint32_t* count, std::size_t& m,
                   std::size_t& negatives) {
    // Local tallies: the callers' slots of several parts share a cache line.
    std::size_t present = 0, below_zero = 0;
    for (std::size_t i = first; i < last; ++i) {
        const double v = data[i];
        if (v != v) continue;
        ++count[bucket_of_key(key_in(O, v))];
        below_zero += v < 0.0;
        ++present;
    }
    m = present;
    negatives = below_zero;
}

// The most parts a large sample is counted in: every part keeps a count of
// each bucket, and those are added up bucket by bucket afterwards.
constexpr std::size_t kMostParts = 8;

// A large sample is counted and gathered in this many parts side by side on
// the pool; counts are whole numbers, so the parts' sums are exact.
std::size_t parts_for(std::size_t n) {
    if (n < parallel::kParallelRowsFrom) return 1;
    // No more parts than processors to run them: each part's counts cover
    // every bucket.
    const std::size_t processors = std::max<std::size_t>(1, parallel::worker_count());
    return std::min({kMostParts, processors, n / (parallel::kParallelRowsFrom / 2)});
}

// Enough parts that no part's count of a bucket can pass 32 bits (the
// counts of one part then fit the second-level cache).
std::size_t count_parts(std::size_t n) {
    const std::size_t most = std::size_t{UINT32_MAX};
    return std::max(parts_for(n), (n + most - 1) / most);
}

std::pair<std::size_t, std::size_t> part_range(std::size_t n, std::size_t parts, std::size_t p) {
    return {n * p / parts, n * (p + 1) / parts};
}

}  // namespace

// Below this many values a sample is selected from directly: counting its
// leading bits touches more memory than the sample itself.
constexpr std::size_t kBucketsFrom = std::size_t{1} << 15;

// The vector kernel, with a copy per instruction set (toolbox/simd.hpp).
namespace kernels {

// The keys of the values of `data` (n of them, contiguous) to `keys`, one
// for one; returns how many values are NaN and, in `negatives`, how many are
// below zero. Every value on its own, so the loop runs in vectors.
template <Order O>
[[gnu::always_inline]] inline std::size_t keys_of(const double* data, std::size_t n, std::uint64_t* keys,
                                                  std::size_t& negatives) noexcept {
    std::size_t nan = 0, below_zero = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = data[i];
        keys[i] = key_in(O, v);
        below_zero += v < 0.0;
        nan += v != v;
    }
    negatives = below_zero;
    return nan;
}

namespace {

struct KeysOfValues {
    template <simd::Level>
    [[gnu::always_inline]] static std::size_t run(const double* data, std::size_t n, Order order, std::uint64_t* keys,
                                                  std::size_t& negatives) noexcept {
        return order == Order::Total ? keys_of<Order::Total>(data, n, keys, negatives)
                                     : keys_of<Order::Stable>(data, n, keys, negatives);
    }
};

}  // namespace

std::size_t keys_of_values(const double* data, std::size_t n, Order order, std::uint64_t* keys,
                           std::size_t& negatives) noexcept {
    return simd::run<KeysOfValues>(data, n, order, keys, negatives);
}

}  // namespace kernels

namespace {

// The keys of the non-NaN values of `data` to `keys`, in input order; returns
// their number and, in `negatives`, how many are below zero.
std::size_t collect_keys(VecView data, Order order, std::uint64_t* keys, std::size_t& negatives) {
    const std::size_t n = data.size();
    if (!data.contiguous()) {
        std::size_t m = 0, below_zero = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = data[i];
            keys[m] = key_in(order, v);
            below_zero += v < 0.0;
            m += v == v;
        }
        negatives = below_zero;
        return m;
    }
    const double* values = data.ptr;
    if (kernels::keys_of_values(values, n, order, keys, negatives) == 0) return n;
    // Some NaN: their keys close up, the others keeping their order.
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        keys[m] = keys[i];
        m += values[i] == values[i];
    }
    return m;
}

}  // namespace

OrderStatistics::OrderStatistics(VecView data, Order order) : data_(data), order_(order) {
    if (data.size() < kBucketsFrom) {
        keys_ = Array1<std::uint64_t>::uninit(data.size());
        size_ = collect_keys(data, order, keys_.data(), negatives_);
        return;
    }
    parts_ = count_parts(data.size());
    part_counts_ = Array1<std::uint32_t>(parts_ * kSelectBuckets);
    Array1<std::size_t> m(parts_), negatives(parts_);
    parallel::parallel_for(0, parts_, 1, [&](std::size_t p) {
        const auto [first, last] = part_range(data.size(), parts_, p);
        std::uint32_t* count = part_counts_.data() + p * kSelectBuckets;
        if (order == Order::Total) {
            count_buckets<Order::Total>(data, first, last, count, m[p], negatives[p]);
        } else {
            count_buckets<Order::Stable>(data, first, last, count, m[p], negatives[p]);
        }
    });
    start_ = Array1<std::size_t>(kSelectBuckets + 1);
    for (std::size_t p = 0; p < parts_; ++p) {
        size_ += m[p];
        negatives_ += negatives[p];
        const std::uint32_t* count = part_counts_.data() + p * kSelectBuckets;
        for (std::size_t b = 0; b < kSelectBuckets; ++b) start_[b + 1] += count[b];
    }
    for (std::size_t b = 0; b < kSelectBuckets; ++b) start_[b + 1] += start_[b];
}

void OrderStatistics::select(std::span<const std::size_t> positions, std::span<double> out) {
    require(out.size() == positions.size(), "select: one output per position");
    for (std::size_t q = 0; q < positions.size(); ++q) require(positions[q] < size_, "select: position beyond the values");
    if (start_.empty()) {
        select_from_keys(positions, out);
        return;
    }
    // The buckets that hold a wanted position, and those of them that no
    // earlier selection from this sample has gathered.
    std::vector<std::size_t> bucket_of(positions.size());
    std::vector<std::size_t> missing;
    for (std::size_t q = 0; q < positions.size(); ++q) {
        const auto it = std::upper_bound(start_.begin(), start_.end(), positions[q]);
        const std::size_t b = static_cast<std::size_t>(it - start_.begin()) - 1;
        bucket_of[q] = b;
        if (gathered(b) == nullptr && std::find(missing.begin(), missing.end(), b) == missing.end()) missing.push_back(b);
    }
    if (!missing.empty()) gather(missing);
    // Equal keys are equal values, so any order of a bucket's keys that puts
    // the right key at each wanted place will do.
    std::vector<std::size_t> places;
    for (std::size_t q = 0; q < positions.size(); ++q) {
        const std::size_t b = bucket_of[q];
        if (std::find(bucket_of.begin(), bucket_of.begin() + static_cast<std::ptrdiff_t>(q), b) !=
            bucket_of.begin() + static_cast<std::ptrdiff_t>(q)) {
            continue;
        }
        places.clear();
        for (std::size_t r = q; r < positions.size(); ++r) {
            if (bucket_of[r] == b) places.push_back(positions[r] - start_[b]);
        }
        Array1<std::uint64_t>& keys = *gathered(b);
        select_keys_at(keys.data(), keys.size(), places);
    }
    for (std::size_t q = 0; q < positions.size(); ++q) {
        const std::size_t b = bucket_of[q];
        out[q] = value_at(positions[q], (*gathered(b))[positions[q] - start_[b]]);
    }
}

Array1<std::uint64_t>* OrderStatistics::gathered(std::size_t bucket) {
    for (Gathered& g : gathered_) {
        if (g.bucket == bucket) return &g.keys;
    }
    return nullptr;
}

void OrderStatistics::gather(std::span<const std::size_t> buckets) {
    // Each part of the sample writes its keys of a bucket after those of the
    // parts before it, where its counts put them (the order of a bucket's
    // keys does not matter).
    constexpr std::uint32_t kNotWanted = UINT32_MAX;
    const std::size_t n_wanted = buckets.size();
    Array1<std::uint32_t> wanted_index(kSelectBuckets, kNotWanted);
    const std::size_t first_new = gathered_.size();
    for (std::size_t w = 0; w < n_wanted; ++w) {
        wanted_index[buckets[w]] = static_cast<std::uint32_t>(w);
        gathered_.push_back({buckets[w], Array1<std::uint64_t>::uninit(start_[buckets[w] + 1] - start_[buckets[w]])});
    }
    Array1<std::uint64_t*> next = Array1<std::uint64_t*>::uninit(parts_ * n_wanted);
    for (std::size_t w = 0; w < n_wanted; ++w) {
        std::uint64_t* at = gathered_[first_new + w].keys.data();
        for (std::size_t p = 0; p < parts_; ++p) {
            next[p * n_wanted + w] = at;
            at += part_counts_[p * kSelectBuckets + buckets[w]];
        }
    }
    parallel::parallel_for(0, parts_, 1, [&](std::size_t p) {
        const auto [first, last] = part_range(data_.size(), parts_, p);
        std::uint64_t** own = next.data() + p * n_wanted;
        for (std::size_t i = first; i < last; ++i) {
            const double v = data_[i];
            if (v != v) continue;
            const std::uint64_t k = key_in(order_, v);
            const std::uint32_t w = wanted_index[bucket_of_key(k)];
            if (w != kNotWanted) *own[w]++ = k;
        }
    });
}

double OrderStatistics::value_at(std::size_t position, std::uint64_t key) const {
    if (order_ == Order::Total || key != kZeroKey) return value_of_key(key);
    // A zero's sign is its input order's business: the zeros sit together
    // after the negative values, in the order they came.
    std::size_t nth = position - negatives_;
    for (std::size_t i = 0; i < data_.size(); ++i) {
        if (data_[i] == 0.0 && nth-- == 0) return data_[i];
    }
    return 0.0;
}


void OrderStatistics::select_from_keys(std::span<const std::size_t> positions, std::span<double> out) {
    std::vector<std::size_t> places(positions.begin(), positions.end());
    select_keys_at(keys_.data(), size_, places);
    for (std::size_t q = 0; q < positions.size(); ++q) out[q] = value_at(positions[q], keys_[positions[q]]);
}

std::size_t select_non_nan(VecView data, Order order, std::span<const std::size_t> positions, std::span<double> out) {
    OrderStatistics stats(data, order);
    stats.select(positions, out);
    return stats.size();
}

}  // namespace toolbox::matrix::sorting
