// Attribute combinations of a grid run: 0/1 matrices with one row per
// combination and one column per attribute, either all combinations of the
// requested sizes, a seeded draw with a quota per size, or a sample of a
// caller's own list.
//
// Seeded draws come from `ChaCha12Stream` (random.hpp), keyed from the seed
// alone, so the same arguments give the same matrix on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::stats::binomial {

struct Combinations {
    matrix::ByteMatrix combos;  // rows x n, entries 0 or 1
    std::size_t count = 0;      // rows in use
};

// C(n, k) for k = 0..n (0 below min_size), in 32-bit arithmetic that wraps.
std::vector<std::uint32_t> binomial_tree_coefficients(std::size_t n, std::size_t min_size);

// Every subset of each listed size (default n, n - 1, ..., 1), sizes in list
// order, subsets of one size in lexicographic order of their members.
Combinations binary_combinations(std::size_t n, std::optional<std::span<const std::size_t>> sizes);

// All combinations of at least min_size attributes when they number at most
// `max`; otherwise every single attribute (min_size <= 1), random rows of each
// middle size in proportion to its count, and the row of all attributes.
// Fails when those rows alone exceed `max`.
Result<Combinations> generate_attribute_combi(std::size_t n, std::size_t max, std::size_t min_size,
                                              std::uint32_t seed);

// `rows` random rows of `cols` columns with exactly k ones each (k <= cols).
matrix::ByteMatrix generate_random_indicator(std::size_t rows, std::size_t cols, std::size_t k,
                                             std::uint32_t seed);

// The caller's rows with at least min_size ones (min_size >= 2), or all of
// them; at most max_rows of them, sampled without replacement from
// operating-system entropy when there are more (whose failure is an internal
// fault).
Result<Combinations> sample_attribute_combi(matrix::MatrixView<const std::uint8_t> combinations, std::size_t max_rows,
                                            std::size_t min_size);

}  // namespace toolbox::stats::binomial
