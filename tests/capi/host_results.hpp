// What the model-call suites share as a host: the suites' random samples,
// owning wrappers for results handles and copies of result parts into vectors.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "../support/host_sample.hpp"
#include "qelcore.h"

namespace host {

inline const double kNaN = std::numeric_limits<double>::quiet_NaN();

using test_support::normal_sample;
using test_support::Sample;

// Owns a results handle for the length of a test.
struct Results {
    QelPredictionResults* handle = nullptr;
    Results() = default;
    Results(const Results&) = delete;
    Results& operator=(const Results&) = delete;
    ~Results() { qel_prediction_results_free(handle); }
};

using CopyFn = int32_t (*)(const QelPredictionResults*, double*, size_t);
using CopyMatFn = int32_t (*)(const QelPredictionResults*, double*, size_t, int32_t);

inline std::vector<double> copy_vec(const QelPredictionResults* r, CopyFn fn, size_t n) {
    std::vector<double> out(n, -12345.0);
    EXPECT_EQ(fn(r, out.data(), out.size()), 0) << qel_last_error();
    return out;
}

inline std::vector<double> copy_mat(const QelPredictionResults* r, CopyMatFn fn, size_t n) {
    std::vector<double> out(n, -12345.0);
    EXPECT_EQ(fn(r, out.data(), out.size(), QEL_LAYOUT_ROW_MAJOR), 0) << qel_last_error();
    return out;
}

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace host
