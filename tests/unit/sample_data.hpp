// Random samples for the model suites as the engine's own arrays.
#pragma once

#include <cstddef>

#include "../support/sample.hpp"
#include "toolbox/matrix/array.hpp"

namespace test_data {

struct Data {
    toolbox::matrix::Vector y;
    toolbox::matrix::Matrix x;
    toolbox::matrix::Vector theta;
};

inline Data make_data(std::size_t n, std::size_t k, unsigned seed, double nan_share = 0.0) {
    Data d{toolbox::matrix::Vector(n), toolbox::matrix::Matrix(n, k), toolbox::matrix::Vector(k)};
    test_sample::generate(n, k, seed, nan_share, d.y.data(), d.x.data(), d.theta.data());
    return d;
}

}  // namespace test_data
