// The random samples of the model suites, inside the engine and as a host:
// y linear in the attributes plus noise, with an optional share of missing
// attributes. One generator, so both kinds of suite see the same data for
// the same seed.
#pragma once

#include <cstddef>
#include <limits>
#include <random>

namespace test_sample {

// Writes y (n values), x (n x k, row-major) and theta (k values).
inline void generate(std::size_t n, std::size_t k, unsigned seed, double nan_share, double* y, double* x,
                     double* theta) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    for (std::size_t i = 0; i < n; ++i) {
        double acc = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            x[i * k + j] = normal(rng);
            acc += x[i * k + j] * static_cast<double>(j + 1);
        }
        y[i] = acc + 0.5 * normal(rng);
    }
    if (nan_share > 0.0) {
        for (std::size_t e = 0; e < n * k; ++e) {
            if (unit(rng) < nan_share) x[e] = std::numeric_limits<double>::quiet_NaN();
        }
    }
    for (std::size_t j = 0; j < k; ++j) theta[j] = 0.3 * normal(rng);
}

}  // namespace test_sample
