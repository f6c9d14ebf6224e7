// Asymmetry between the two sides of the censor: per threshold, half the
// squared difference of the correlation of the retained weights with y and of
// the censored weights with y, with the statistics it stands on.
#pragma once

#include <optional>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/insights/fit/fit.hpp"

namespace toolbox::qel::insights::asymmetry {

// The statistics the asymmetry stands on, per threshold: the fit statistics
// of the retained side and the correlation (and, from materialised weights,
// the fit) of the censored side.
struct AsymmetryStats {
    matrix::Vector fit;
    matrix::Vector rho;
    // Absent when the weights were streamed: nothing reads it there.
    std::optional<matrix::Vector> fit_excluded;
    matrix::Vector rho_excluded;
    matrix::Vector outlier_influence;
    matrix::Vector agreement;
    // The retained count.
    matrix::Vector n;
};

struct AsymmetryResult {
    matrix::Vector asymmetry;
    AsymmetryStats stats;
};

// `n`: the retained count per threshold; where it equals the number of
// observations nothing was censored and the asymmetry is 0.
Result<AsymmetryResult> asymmetry(matrix::VecView n, matrix::MatView weights, matrix::MatView weights_excluded,
                                  matrix::VecView y);

// The asymmetry and its statistics from both sides' fit statistics, as
// `asymmetry` forms them.
AsymmetryResult asymmetry_of_fits(matrix::VecView n, fit::FitResult in, fit::FitResult ex, std::size_t n_obs);

// (d * d) * 0.5 of the two correlations, times 0 where every observation was
// retained (multiplied, so a NaN stays NaN).
matrix::Vector asymmetry_from_rho(matrix::VecView n, matrix::VecView rho_in, matrix::VecView rho_ex, std::size_t n_obs);

}  // namespace toolbox::qel::insights::asymmetry
