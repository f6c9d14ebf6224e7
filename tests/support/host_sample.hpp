// What the golden suite and the benchmark hosts share: an integer generator
// of samples, the same bits on every machine (no <random> distributions, no
// math library), and the process's resident memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
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

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:"), -1 when absent.
inline long status_kib(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, n, key) == 0) return std::atol(line.c_str() + n + 1);
    }
    return -1;
}

// Starts the resident high-water mark (VmHWM) afresh from the current size.
inline void reset_peak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

}  // namespace test_support
