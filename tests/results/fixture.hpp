// Results objects of each kind of run, built part by part with the engine's
// internals and boxed into handles, so the C interface can be read without a
// compute call. Values encode their position: element t of a per-threshold
// vector is base + t, element (i, j) of a matrix base + 10 i + j, element
// (i, t, c) of a 3-D array base + 100 i + 10 t + c.
#pragma once

#include <cstddef>
#include <memory>

#include "ffi/results.hpp"
#include "qelcore.h"
#include "toolbox/qel/results/base.hpp"

namespace fixture {

using toolbox::qel::results::PredictionResults;
using toolbox::matrix::Array3d;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;

struct HandleDeleter {
    void operator()(QelPredictionResults* h) const noexcept { qel_prediction_results_free(h); }
};
using Handle = std::unique_ptr<QelPredictionResults, HandleDeleter>;

inline Handle box(PredictionResults&& r) { return Handle(ffi::results::box_results(std::move(r))); }

Vector ramp(double base, std::size_t n);
Matrix grid(double base, std::size_t rows, std::size_t cols);
Array3d cube(double base, std::size_t d0, std::size_t d1, std::size_t d2);

// A prediction result with every part a prediction run can hold: insights,
// auxiliary (n = 3, 4, ...), include, both weight sides, solo distribution
// with statistics and a histogram of `bins` bins, and the linear value.
PredictionResults prediction(std::size_t n, std::size_t k, std::size_t t, std::size_t bins);

// A max-fit result: a prediction over `t0` thresholds reduced to `chosen`.
PredictionResults maxfit(std::size_t n, std::size_t k, std::size_t t0, std::size_t chosen);

// A grid result with T = 1 and no thresholds, composite weights, grid
// insights, auxiliary and retained cells of the relevance censor type only
// (all five per-censor arrays and the three shared matrices).
PredictionResults grid_run(std::size_t n, std::size_t k, std::size_t c);

// Every part at once, as no single run holds them: the prediction of
// `prediction` (with auxiliary rho from 2600), a one-hot max-fit index at
// threshold 2, grid insights and retained cells of the relevance censor type
// over the t thresholds and c combinations.
PredictionResults every_part(std::size_t n, std::size_t k, std::size_t t, std::size_t c, std::size_t bins);

// A fresh object: nothing but the core vectors.
PredictionResults bare(std::size_t n, std::size_t k, std::size_t t);

}  // namespace fixture
