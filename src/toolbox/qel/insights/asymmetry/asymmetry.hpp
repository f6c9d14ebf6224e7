// Asymmetry between the two sides of the censor: per threshold, half the
// squared difference of the correlation of the retained weights with y and of
// the censored weights with y, with the statistics it stands on.
#pragma once

#include <string>
#include <unordered_map>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::insights::asymmetry {

// Statistics by key ("fit", "rho", "fit_excluded", "rho_excluded",
// "outlier_influence", "agreement", "n"). Read by key only: the iteration
// order means nothing.
using StatsMap = std::unordered_map<std::string, matrix::Vector>;

struct AsymmetryResult {
    matrix::Vector asymmetry;
    StatsMap stats;
};

// `n`: the retained count per threshold; where it equals the number of
// observations nothing was censored and the asymmetry is 0.
Result<AsymmetryResult> asymmetry(matrix::VecView n, matrix::MatView weights, matrix::MatView weights_excluded,
                                  matrix::VecView y);

// (d * d) * 0.5 of the two correlations, times 0 where every observation was
// retained (multiplied, so a NaN stays NaN).
matrix::Vector asymmetry_from_rho(matrix::VecView n, matrix::VecView rho_in, matrix::VecView rho_ex, std::size_t n_obs);

}  // namespace toolbox::qel::insights::asymmetry
