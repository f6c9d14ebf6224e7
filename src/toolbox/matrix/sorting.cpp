#include "toolbox/matrix/sorting.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "toolbox/error.hpp"

namespace toolbox::matrix::sorting {

Vector sort_array(VecView data) {
    // NaN is dropped before sorting: with it gone, `<` is a strict weak order
    // and the stable sort is well defined.
    std::size_t n = 0;
    for (std::size_t i = 0; i < data.size(); ++i) n += !std::isnan(data[i]);
    Vector out = Vector::uninit(n);
    std::size_t w = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        if (!std::isnan(data[i])) out[w++] = data[i];
    stable_sort_finite_order(out.span());
    return out;
}

namespace {

// An unsigned key in the order of `<`: negative values have every bit
// flipped, others the sign bit set, and both zeros share one key, so a
// stable sort by key is a stable sort by value.
inline std::uint64_t order_key(double v) noexcept {
    if (v == 0.0) return std::uint64_t{1} << 63;
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return (b >> 63) ? ~b : (b | (std::uint64_t{1} << 63));
}

constexpr unsigned kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr unsigned kPasses = (64 + kDigitBits - 1) / kDigitBits;

// Below this the library's merge sort is as fast.
constexpr std::size_t kRadixFrom = 4096;

}  // namespace

void stable_sort_finite_order(std::span<double> values) {
    const std::size_t n = values.size();
    if (n < kRadixFrom) {
        std::stable_sort(values.begin(), values.end(), [](double a, double b) { return a < b; });
        return;
    }
    // Least significant digit first; each pass is a stable counting sort, so
    // the whole is stable. Passes whose digit is the same for every value
    // move nothing and are skipped.
    std::vector<std::size_t> counts(kPasses * kBuckets, 0);
    for (double v : values) {
        const std::uint64_t key = order_key(v);
        for (unsigned p = 0; p < kPasses; ++p) ++counts[p * kBuckets + ((key >> (p * kDigitBits)) & (kBuckets - 1))];
    }
    Vector scratch = Vector::uninit(n);
    double* src = values.data();
    double* dst = scratch.data();
    for (unsigned p = 0; p < kPasses; ++p) {
        std::size_t* c = counts.data() + p * kBuckets;
        const unsigned shift = p * kDigitBits;
        if (c[(order_key(src[0]) >> shift) & (kBuckets - 1)] == n) continue;
        std::size_t offset = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::size_t count = c[b];
            c[b] = offset;
            offset += count;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const double v = src[i];
            dst[c[(order_key(v) >> shift) & (kBuckets - 1)]++] = v;
        }
        std::swap(src, dst);
    }
    if (src != values.data()) std::copy_n(src, n, values.data());
}

namespace {

// Selection keys: unsigned integers in the order of the values. Under the
// stable order both zeros share one key, so their places are settled by
// their input order; under the total order every bit pattern has its own.
inline std::uint64_t total_key(double v) noexcept {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return (b >> 63) ? ~b : (b | (std::uint64_t{1} << 63));
}

inline double value_of_key(std::uint64_t key) noexcept {
    const std::uint64_t b = (key >> 63) ? (key & ~(std::uint64_t{1} << 63)) : ~key;
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

constexpr unsigned kSelectBits = 12;
constexpr std::size_t kSelectBuckets = std::size_t{1} << kSelectBits;
constexpr std::uint64_t kZeroKey = std::uint64_t{1} << 63;

template <class KeyOf>
std::size_t select_by_key(VecView data, KeyOf key_of, std::span<const std::size_t> positions,
                          std::span<std::uint64_t> keys_out) {
    // Counts of the top digit of the keys.
    std::vector<std::size_t> start(kSelectBuckets + 1, 0);
    std::size_t m = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const double v = data[i];
        if (v != v) continue;
        ++start[(key_of(v) >> (64 - kSelectBits)) + 1];
        ++m;
    }
    for (std::size_t b = 0; b < kSelectBuckets; ++b) start[b + 1] += start[b];

    // The buckets that hold a wanted position, and where each of their keys
    // goes in one buffer.
    std::vector<std::size_t> bucket_of(positions.size());
    std::vector<std::size_t> slot(kSelectBuckets, SIZE_MAX);
    std::vector<std::size_t> wanted;
    std::size_t held = 0;
    for (std::size_t q = 0; q < positions.size(); ++q) {
        require(positions[q] < m, "select: position beyond the values");
        const auto it = std::upper_bound(start.begin(), start.end(), positions[q]);
        const std::size_t b = static_cast<std::size_t>(it - start.begin()) - 1;
        bucket_of[q] = b;
        if (slot[b] == SIZE_MAX) {
            slot[b] = held;
            held += start[b + 1] - start[b];
            wanted.push_back(b);
        }
    }
    std::vector<std::uint64_t> gathered(held);
    std::vector<std::size_t> fill(kSelectBuckets, 0);
    for (std::size_t b : wanted) fill[b] = slot[b];
    for (std::size_t i = 0; i < data.size(); ++i) {
        const double v = data[i];
        if (v != v) continue;
        const std::uint64_t k = key_of(v);
        const std::size_t b = static_cast<std::size_t>(k >> (64 - kSelectBits));
        if (slot[b] != SIZE_MAX) gathered[fill[b]++] = k;
    }
    // Equal keys are equal values, so any order of a bucket's keys that puts
    // the right key at each wanted place will do: from the largest wanted
    // place of a bucket down, each selection leaves the smaller places in the
    // part before it.
    std::vector<std::size_t> order(positions.size());
    for (std::size_t q = 0; q < order.size(); ++q) order[q] = q;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return positions[a] > positions[b]; });
    std::vector<std::size_t> limit(kSelectBuckets, 0);
    for (std::size_t b : wanted) limit[b] = start[b + 1] - start[b];
    for (std::size_t q : order) {
        const std::size_t b = bucket_of[q];
        const std::size_t at = positions[q] - start[b];
        auto first = gathered.begin() + static_cast<std::ptrdiff_t>(slot[b]);
        if (at < limit[b]) {
            std::nth_element(first, first + static_cast<std::ptrdiff_t>(at), first + static_cast<std::ptrdiff_t>(limit[b]));
            limit[b] = at + 1;
        }
        keys_out[q] = first[static_cast<std::ptrdiff_t>(at)];
    }
    return m;
}

}  // namespace

std::size_t count_non_nan(VecView data) {
    std::size_t m = 0;
    for (std::size_t i = 0; i < data.size(); ++i) m += data[i] == data[i];
    return m;
}

std::size_t select_non_nan(VecView data, Order order, std::span<const std::size_t> positions, std::span<double> out) {
    require(out.size() == positions.size(), "select: one output per position");
    std::vector<std::uint64_t> keys(positions.size());
    if (order == Order::Total) {
        const std::size_t m = select_by_key(data, total_key, positions, keys);
        for (std::size_t q = 0; q < positions.size(); ++q) out[q] = value_of_key(keys[q]);
        return m;
    }
    const std::size_t m = select_by_key(data, order_key, positions, keys);
    // A zero's sign is its input order's business: the zeros sit together
    // after the negative values, in the order they came.
    std::size_t negatives = SIZE_MAX;
    for (std::size_t q = 0; q < positions.size(); ++q) {
        if (keys[q] != kZeroKey) {
            out[q] = value_of_key(keys[q]);
            continue;
        }
        if (negatives == SIZE_MAX) {
            negatives = 0;
            for (std::size_t i = 0; i < data.size(); ++i) negatives += data[i] < 0.0;
        }
        std::size_t nth = positions[q] - negatives;
        out[q] = 0.0;
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (data[i] == 0.0 && nth-- == 0) {
                out[q] = data[i];
                break;
            }
        }
    }
    return m;
}

}  // namespace toolbox::matrix::sorting
