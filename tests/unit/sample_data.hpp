// Random samples for the model suites: y linear in the attributes plus noise,
// with an optional share of missing attributes.
#pragma once

#include <cstddef>
#include <limits>
#include <random>

#include "toolbox/matrix/array.hpp"

namespace test_data {

struct Data {
    toolbox::matrix::Vector y;
    toolbox::matrix::Matrix x;
    toolbox::matrix::Vector theta;
};

inline Data make_data(std::size_t n, std::size_t k, unsigned seed, double nan_share = 0.0) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    Data d{toolbox::matrix::Vector(n), toolbox::matrix::Matrix(n, k), toolbox::matrix::Vector(k)};
    for (std::size_t i = 0; i < n; ++i) {
        double acc = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            d.x(i, j) = normal(rng);
            acc += d.x(i, j) * static_cast<double>(j + 1);
        }
        d.y[i] = acc + 0.5 * normal(rng);
    }
    if (nan_share > 0.0) {
        for (double& v : d.x.flat()) {
            if (unit(rng) < nan_share) v = std::numeric_limits<double>::quiet_NaN();
        }
    }
    for (std::size_t j = 0; j < k; ++j) d.theta[j] = 0.3 * normal(rng);
    return d;
}

}  // namespace test_data
