#include "toolbox/qel/models/grid/finalise.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "toolbox/count.hpp"
#include "toolbox/qel/insights/asymmetry/asymmetry.hpp"
#include "toolbox/qel/insights/fit/weight_columns.hpp"
#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"
#include "toolbox/qel/models/binary/binary.hpp"
#include "toolbox/qel/results/mutators.hpp"

namespace toolbox::qel::models::grid::helpers {

using enums::GridRetainKey;
using matrix::Array3d;
using matrix::ByteMatrix;
using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;
using results::GridCellsData;
using results::PredictionResults;
namespace solo_dist = insights::solo_distributions;

namespace {

// The smallest solo weight, at one threshold of a retained cell, with which
// the cell's solo prediction joins the pooled histogram.
constexpr double kPooledWeightFrom = 0.0001;

// Nearest integer, halves away from zero, as an unsigned count; what has no
// such count (NaN, negative, too large) becomes 0.
std::size_t round_count(double v) {
    const double r = std::round(v);
    if (!(r >= 0.0) || !(r < kTwoTo64)) return 0;
    return static_cast<std::size_t>(r);
}

}  // namespace

std::optional<std::pair<Vector, Vector>> pool_ysolo_cell_samples(const GridCellsData& cells) {
    if (!cells.ysolo_cells) return std::nullopt;
    const Matrix& ys = **cells.ysolo_cells;
    std::vector<double> samples, weights;
    for (const auto* part : {&cells.relevance, &cells.similarity}) {
        if (!part->has_value() || !(*part)->xi_solo_cells) continue;
        const Array3d& xi = *(*part)->xi_solo_cells;
        require(xi.dim0() == ys.rows() && xi.dim2() == ys.cols(), "grid solo cells differ in shape");
        for (std::size_t c = 0; c < xi.dim2(); ++c) {
            for (std::size_t t = 0; t < xi.dim1(); ++t) {
                for (std::size_t i = 0; i < xi.dim0(); ++i) {
                    const double w = xi(i, t, c);
                    if (w >= kPooledWeightFrom) {
                        samples.push_back(ys(i, c));
                        weights.push_back(w);
                    }
                }
            }
        }
    }
    if (samples.empty()) return std::nullopt;
    return std::pair{Vector::from(std::span<const double>(samples)), Vector::from(std::span<const double>(weights))};
}

Result<std::optional<results::YSoloDistributionSummary>> build_ysolo_distribution_from_grid_cells(
    const GridCellsData& cells) {
    auto pooled = pool_ysolo_cell_samples(cells);
    if (!pooled) return std::optional<results::YSoloDistributionSummary>{};
    const MatView w(pooled->second.data(), pooled->second.size(), 1);
    auto d = solo_dist::compute_ysolo_summary(pooled->first.view(), w, stats::histogram::kOutlierFactor);
    if (!d) return std::unexpected(std::move(d.error()));
    return std::optional<results::YSoloDistributionSummary>{std::move(*d)};
}

namespace {

// The histogram of the pooled solo cells as the results' solo distribution
// summary, when the cells give one; otherwise the summary stays as it was.
Result<void> store_pooled_histogram(PredictionResults& results) {
    if (!results.grid_cells) return {};
    auto summary = build_ysolo_distribution_from_grid_cells(*results.grid_cells);
    if (!summary) return std::unexpected(std::move(summary.error()));
    if (*summary) {
        if (!results.solo_distribution) results.solo_distribution.emplace();
        results.solo_distribution->ysolo_distribution = std::move(**summary);
    }
    return {};
}

}  // namespace

Result<void> calculate_composite_results(const GridCompositeAccumulator& acc, const ByteMatrix& combos, VecView y,
                                         PredictionResults& results, bool has_missing, std::size_t t, std::size_t p) {
    const double d = acc.adjusted_fit_total_sum;
    if (d == 0.0) return compute_error("adjusted_fit_total_sum is zero, cannot calculate composite results");
    const std::size_t n = acc.include_weight_sum.size();
    const std::size_t k = acc.variable_fit_sum.size();
    require(y.size() == n, "grid finalisation: y does not match the observations");

    Vector w_in = Vector::uninit(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = acc.include_weight_sum[i] / d;
        w_in[i] = std::isnan(v) ? 0.0 : v;
    }

    const std::size_t c = combos.rows();
    double yhat = 0.0;
    if (has_missing) {
        const double ctp = static_cast<double>(c * t * p);
        for (std::size_t i = 0; i < n; ++i) {
            const double vc = acc.valid_count[i];
            const double factor = vc > 0.0 ? ctp / vc : 1.0;
            w_in[i] *= factor;
        }
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += w_in[i];
        if (s > 0.0) {
            for (std::size_t i = 0; i < n; ++i) w_in[i] /= s;
            for (std::size_t i = 0; i < n; ++i) yhat += w_in[i] * y[i];
        } else {
            // No cell lends the composite a weight: each of its thresholds
            // retains no more observations than the cell has attributes. The
            // weights would predict 0; the cells' own predictions, pooled by
            // adjusted fit as on complete data, still stand.
            yhat = acc.yhat_fit_total / d;
        }
    } else {
        yhat = acc.yhat_fit_total / d;
    }

    Vector w_ex = Vector::uninit(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = acc.exclude_weight_sum[i] / d;
        w_ex[i] = std::isnan(v) ? 0.0 : v;
    }

    const double n_c = acc.n_fit_total / d;
    const Vector n_vec{n_c};
    auto am = insights::asymmetry::asymmetry(n_vec.view(), MatView(w_in.data(), n, 1), MatView(w_ex.data(), n, 1), y);
    if (!am) return std::unexpected(std::move(am.error()));
    const insights::asymmetry::AsymmetryStats& st = am->stats;
    require(!st.fit.empty() && !st.rho.empty() && !st.outlier_influence.empty() && !st.agreement.empty() &&
                !am->asymmetry.empty(),
            "grid asymmetry statistics of the composite threshold are missing");
    const double fit = st.fit[0];
    const double rho = st.rho[0];
    const double outlier = st.outlier_influence[0];
    const double agreement = st.agreement[0];
    const double asym = am->asymmetry[0];

    const double adjusted_fit = acc.fit_square_total / d;
    const double k_bar = acc.size_fit_total / d;

    Vector v = Vector::uninit(k);
    double vs = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
        v[j] = acc.variable_fit_sum[j] / d;
        vs += v[j];
    }
    if (vs != 0.0) {
        for (std::size_t j = 0; j < k; ++j) v[j] /= vs;
    }

    require(combos.cols() == k, "grid finalisation: combinations do not match the attributes");
    const std::size_t tp = t * p;
    Vector mctc = Vector::uninit(k), mctp = Vector::uninit(k), cctp = Vector::uninit(k);
    for (std::size_t j = 0; j < k; ++j) {
        std::uint32_t cj = 0;
        for (std::size_t r = 0; r < c; ++r) cj += combos(r, j);
        const double a = static_cast<double>(static_cast<std::size_t>(cj) * tp);
        const double b = static_cast<double>((c - cj) * tp);
        if (acc.twin_count[j] != 0 && a != 0.0) {
            mctc[j] = acc.in_fit_sum[j] / a - acc.twin_fit_sum[j] / a;
            mctp[j] = acc.in_yhat_sum[j] / a - acc.twin_yhat_sum[j] / a;
        } else {
            mctc[j] = (a != 0.0 ? acc.in_fit_sum[j] / a : 0.0) - (b != 0.0 ? acc.out_fit_sum[j] / b : 0.0);
            mctp[j] = (a != 0.0 ? acc.in_yhat_sum[j] / a : 0.0) - (b != 0.0 ? acc.out_yhat_sum[j] / b : 0.0);
        }
        const double r = acc.out_fit_total[j] != 0.0 ? acc.out_yhat_fit_sum[j] / acc.out_fit_total[j] : 0.0;
        cctp[j] = yhat - r;
    }

    results.core.yhat = Vector{yhat};
    results.core.adjusted_fit = Vector{adjusted_fit};
    results.core.fit = Vector{fit};
    results.core.k_fit = Vector{fit * k_bar};
    results.core.agreement = Vector{agreement};
    results.core.outlier_influence = Vector{outlier};
    results.core.asymmetry = Vector{asym};

    results::PredictionAuxiliaryInfo& aux = results::get_or_alloc_auxiliary(results);
    aux.n = results::CountVector{round_count(n_c)};
    aux.k = results::CountVector{round_count(k_bar)};
    aux.rho = Vector{rho};

    results.weights = Matrix::from_vector(std::move(w_in), n, 1);
    results.weights_excluded = Matrix::from_vector(std::move(w_ex), n, 1);
    if (!results.insights) results.insights.emplace();
    results.insights->weights_concentration = insights::fit::weights_concentration_from_matrix(results.weights->view());

    results::GridInsights gi;
    gi.variable_weights = std::move(v);
    gi.marginal_contribution_to_conviction = std::move(mctc);
    gi.marginal_contribution_to_prediction = std::move(mctp);
    gi.component_contribution_to_prediction = std::move(cctp);
    if (acc.has_solo_statistics) {
        Vector xs = Vector::uninit(n);
        for (std::size_t i = 0; i < n; ++i) xs[i] = acc.xi_solo_sum[i] / d;
        gi.xi_solo_composite = std::move(xs);
    }
    results.grid_insights = std::move(gi);

    if (acc.has_solo_statistics) {
        const double var = acc.second_moment_total / d - yhat * yhat;
        const double clamped = std::isnan(var) ? 0.0 : std::max(var, 0.0);
        results::get_or_alloc_solo_statistics(results).ysolo_sigma = Vector{std::sqrt(clamped)};
    }
    return {};
}

Result<void> finalize_grid_results(const GridCompositeAccumulator& acc, const ByteMatrix& combos, VecView y,
                                   MatView x, PredictionResults& results, bool has_missing, std::size_t t,
                                   std::size_t p, const config::GridOptions& options) {
    if (auto r = calculate_composite_results(acc, combos, y, results, has_missing, t, p); !r) return r;
    if (auto r = store_pooled_histogram(results); !r) return r;

    if (options.predict.prediction_scale == enums::PredictionScale::Logistic) {
        std::optional<MatView> cov_inv;
        if (options.predict.cov_inv) cov_inv = options.predict.cov_inv->view();
        // The composite and the solo cells by one scale.
        Matrix* ys = results.grid_cells && results.grid_cells->ysolo_cells
                         ? &results::make_mut(*results.grid_cells->ysolo_cells)
                         : nullptr;
        const VecView flat = ys ? VecView(ys->data(), ys->size()) : VecView();
        auto mapped = binary::logistic_probabilities(y, x, results.core.yhat.view(), flat, cov_inv);
        if (!mapped) return std::unexpected(std::move(mapped.error()));
        results.core.yhat = std::move(mapped->first);
        if (ys) {
            require(mapped->second.size() == ys->size(), "logistic scale changed the number of solo cells");
            std::copy_n(mapped->second.data(), ys->size(), ys->data());
        }
        // The histogram and the moments of the pooled cells again, on the
        // probability scale.
        if (auto r = store_pooled_histogram(results); !r) return r;
        if (results.grid_cells) {
            if (auto pooled = pool_ysolo_cell_samples(*results.grid_cells)) {
                const MatView w(pooled->second.data(), pooled->second.size(), 1);
                auto st = solo_dist::solo_statistics_record(pooled->first.view(), w, results.core.yhat.view());
                if (!st) return std::unexpected(std::move(st.error()));
                results::get_or_alloc_solo_statistics(results) = std::move(*st);
            }
        }
    }

    if (results.grid_cells && !enums::lists_key(options.retain_grid_objects, GridRetainKey::YsoloCells)) {
        GridCellsData& cells = *results.grid_cells;
        cells.ysolo_cells.reset();
        if (cells.relevance) cells.relevance->xi_solo_cells.reset();
        if (cells.similarity) cells.similarity->xi_solo_cells.reset();
    }
    return {};
}

}  // namespace toolbox::qel::models::grid::helpers
