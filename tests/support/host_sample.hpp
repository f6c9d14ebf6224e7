// The random samples of the suites and the benchmark hosts: y linear in the
// attributes plus noise, with an optional share of missing attributes. The
// integer generator gives the same bits on every machine (no <random>
// distributions, no math library), as the golden suite and the benchmarks
// need; the model suites draw from the standard library's normal
// distribution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace test_support {

struct SplitMix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Bell-shaped without the math library: a sum of four uniforms.
    double bell() { return unit() + unit() + unit() + unit() - 2.0; }
};

struct Sample {
    std::vector<double> y, x, theta;  // x row-major, n x k
    std::size_t n = 0, k = 0;
};

// y linear in the attributes plus noise; `nan_share` of X missing.
inline Sample linear_sample(std::size_t n, std::size_t k, std::uint64_t seed = 12345, double nan_share = 0.0) {
    SplitMix rng{seed};
    Sample s;
    s.n = n;
    s.k = k;
    s.x.resize(n * k);
    s.y.resize(n);
    s.theta.resize(k);
    for (std::size_t i = 0; i < n; ++i) {
        double acc = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            const double v = rng.bell();
            s.x[i * k + j] = v;
            acc += v * (1.0 + 0.1 * static_cast<double>(j));
        }
        s.y[i] = acc + rng.bell();
    }
    if (nan_share > 0.0) {
        for (double& v : s.x) {
            if (rng.unit() < nan_share) v = __builtin_nan("");
        }
    }
    for (double& v : s.theta) v = 0.5 * rng.bell();
    return s;
}

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
