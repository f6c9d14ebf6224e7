// The one result object of the engine and every part of it.
//
// A run creates it with `PredictionResults::create`, its writers fill the parts
// they produce field by field, and the C interface moves it into a results
// handle. A part that is `std::nullopt` was not produced: absent is not the
// same as present and empty, so every reader tests presence first. In float
// arrays NaN means not computed; count arrays start at 0.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::results {

using matrix::Array3d;
using matrix::BoolMatrix;
using matrix::Matrix;
using matrix::Vector;

// Unsigned per-threshold counts (retained observations, variables used).
using CountVector = matrix::Array1<std::size_t>;

// Counts held as whole doubles, truncated; a value that no count can be is a
// broken invariant and stops the computation.
CountVector to_counts(const Vector& v);

// A grid matrix that copies of one results object share. The count is atomic,
// so copies may be released on different threads; the last holder frees it.
// Treat the matrix as immutable while it is shared: change it only through
// `make_mut`, which copies it first when another holder still sees it.
using SharedMatrix = std::shared_ptr<Matrix>;

SharedMatrix share(Matrix&& m);
// The matrix for writing, unshared first when another holder shares it.
Matrix& make_mut(SharedMatrix& m);

struct PredictionInsights {
    std::optional<Vector> relevance;              // N
    std::optional<Vector> similarity;             // N
    std::optional<Vector> info_x;                 // N
    std::optional<Vector> info_theta;             // 1
    std::optional<Vector> weights_concentration;  // T
};

struct GridInsights {
    std::optional<Vector> variable_weights;                      // K
    std::optional<Vector> marginal_contribution_to_conviction;   // K
    std::optional<Vector> marginal_contribution_to_prediction;   // K
    std::optional<Vector> component_contribution_to_prediction;  // K
    std::optional<Vector> xi_solo_composite;                     // N
};

// One value per threshold each.
struct SoloDistributionStatistics {
    std::optional<Vector> ysolo_sigma;
    std::optional<Vector> ysolo_skewness;
    std::optional<Vector> ysolo_kurtosis;
    std::optional<Vector> ysolo_pearson_modality_index;
    std::optional<Vector> ysolo_bimodal_index;
};

struct YSoloDistributionSummary {
    Vector bin_edges;    // B + 1
    Vector bin_centers;  // B
    Vector bin_widths;   // B
    Matrix bin_counts;   // B x T weighted counts, or B x 1 plain counts
};

struct SoloDistribution {
    std::optional<SoloDistributionStatistics> statistics;
    std::optional<Vector> y_solo;   // N
    std::optional<Matrix> xi_solo;  // N x T
    std::optional<YSoloDistributionSummary> ysolo_distribution;
};

// Row j of a C x T matrix and slice [.., .., j] of an N x T x C array belong
// to combination j.
struct CensorGridCells {
    std::optional<Matrix> yhat_cells;
    std::optional<Matrix> adjusted_fit_cells;
    std::optional<Matrix> n_cells;
    std::optional<Array3d> weights_cells;
    std::optional<Array3d> xi_solo_cells;
};

struct GridCellsData {
    std::optional<CensorGridCells> relevance;
    std::optional<CensorGridCells> similarity;
    std::optional<SharedMatrix> ysolo_cells;  // N x C
    std::optional<SharedMatrix> k_cells;      // C x T
    std::optional<SharedMatrix> combi_cells;  // C x K
};

struct PredictionCoreResults {
    Vector yhat;
    Vector fit;
    Vector agreement;
    Vector outlier_influence;
    Vector asymmetry;
    Vector adjusted_fit;
    Vector k_fit;
    // Present only when the run asked for the linear-regression value.
    std::optional<Vector> yhat_linear;
};

// Per-threshold diagnostics of the partial-sample weights.
struct PredictionAuxiliaryInfo {
    Vector phi;
    Vector lambda_sq;
    Vector full_var;
    Vector part_var;
    Vector r_star;
    Vector r_star_percent;
    CountVector n;
    CountVector k;
    Vector rho;  // written by grid runs only
};

struct PredictionResults {
    std::optional<PredictionInsights> insights;
    std::optional<GridInsights> grid_insights;
    std::optional<SoloDistribution> solo_distribution;
    std::optional<GridCellsData> grid_cells;
    Vector thresholds;
    std::size_t num_observations = 0;
    std::size_t num_variables = 0;
    std::size_t num_thresholds = 0;
    PredictionCoreResults core;
    std::optional<PredictionAuxiliaryInfo> auxiliary;
    std::optional<BoolMatrix> include;       // N x T
    std::optional<Matrix> weights;           // N x T
    std::optional<Matrix> weights_excluded;  // N x T
    // One-hot over the thresholds before a max-fit selection.
    std::optional<Vector> maxfit_index;

    // A fresh object: seven per-threshold core vectors of T quiet NaNs, the
    // given thresholds taken over unchanged (their length is not compared
    // with T), every optional part absent.
    static PredictionResults create(std::size_t num_observations, std::size_t num_variables,
                                    std::size_t num_thresholds, Vector thresholds);
};

// Copies every array and every per-censor part in full; the three shared grid
// matrices are shared, not copied. The same as the copy constructor, named for
// the places that mean it.
PredictionResults deep_copy(const PredictionResults& results);

}  // namespace toolbox::qel::results
