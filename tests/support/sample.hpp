// The random samples of the model suites, inside the engine and as a host:
// y linear in the attributes plus noise, with an optional share of missing
// attributes, drawn from the standard library's normal distribution (the
// golden suite and the benchmarks draw theirs from the integer generator of
// host_sample.hpp instead, for the same bits on every machine).
#pragma once

#include <cstddef>
#include <limits>
#include <random>
#include <vector>

#include "host_sample.hpp"

namespace test_support {

inline Sample normal_sample(std::size_t n, std::size_t k, unsigned seed, double nan_share = 0.0) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    Sample s{std::vector<double>(n), std::vector<double>(n * k), std::vector<double>(k), n, k};
    for (std::size_t i = 0; i < n; ++i) {
        double acc = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            s.x[i * k + j] = normal(rng);
            acc += s.x[i * k + j] * static_cast<double>(j + 1);
        }
        s.y[i] = acc + 0.5 * normal(rng);
    }
    if (nan_share > 0.0) {
        for (double& v : s.x) {
            if (unit(rng) < nan_share) v = std::numeric_limits<double>::quiet_NaN();
        }
    }
    for (double& v : s.theta) v = 0.3 * normal(rng);
    return s;
}

}  // namespace test_support
