#include "toolbox/qel/models/grid/missing_importance.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/stats/random.hpp"

namespace toolbox::qel::models::grid::missing_importance {

using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;

helpers::NoiseTwins precompute_garbage_columns(MatView x, std::span<const std::uint64_t> missing_columns,
                                               std::uint32_t seed) {
    const std::size_t n = x.rows();
    helpers::NoiseTwins twins(x.cols());
    for (std::uint64_t c : missing_columns) {
        Vector col = Vector::from(x.col(c));
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isfinite(col[i])) {
                sum += col[i];
                ++count;
            }
        }
        const double m = count == 0 ? 0.0 : sum / static_cast<double>(count);
        double v = 0.0, s = 0.0;
        if (count >= 2) {
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isfinite(col[i])) {
                    const double d = col[i] - m;
                    v += d * d;
                }
            }
            v /= static_cast<double>(count);
            s = std::sqrt(v);
        }
        if (count >= 2 && std::isfinite(s) && v != 0.0) {
            stats::random::NoiseStream noise = stats::random::NoiseStream::for_column(seed, c);
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isfinite(col[i])) col[i] = noise.normal() * s + m;
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isfinite(col[i])) col[i] = m;
            }
        }
        twins[c] = std::move(col);
    }
    return twins;
}

Result<void> accumulate_one_fused_noise_twin(helpers::GridCompositeAccumulator& acc, const helpers::GridRunContext& ctx,
                                             const helpers::ComboSelection& sel, std::size_t k) {
    const std::span<const std::size_t> selected = sel.columns;
    if (selected.empty() || !ctx.twins || k >= ctx.twins->size() || !(*ctx.twins)[k]) return {};
    const helpers::GridPredictionSetup& setup = ctx.setup;
    const Vector& twin = *(*ctx.twins)[k];
    const MatView x = setup.x.view();
    const std::size_t n = x.rows();
    const std::size_t m = selected.size();
    const auto place = std::ranges::find(selected, k);
    require(place != selected.end(), "k in selected_indices");
    const std::size_t k_at = static_cast<std::size_t>(place - selected.begin());

    Matrix x_sel = helpers::select_columns(x, selected);
    for (std::size_t i = 0; i < n; ++i) x_sel(i, k_at) = twin[i];
    Vector theta_sel = Vector::uninit(m);
    for (std::size_t a = 0; a < m; ++a) theta_sel[a] = setup.theta(0, selected[a]);

    // The listwise covariance and means over every complete column and the
    // combination's hole columns, the twin in place of column k.
    std::vector<std::uint64_t> lw_cols(setup.complete_columns.begin(), setup.complete_columns.end());
    for (std::uint64_t c : setup.missing_columns) {
        if (sel.row[c] != 0) lw_cols.push_back(c);
    }
    Matrix x_lw = helpers::select_columns(x, lw_cols);
    const auto k_lw = std::ranges::find(lw_cols, static_cast<std::uint64_t>(k));
    if (k_lw != lw_cols.end()) {
        const std::size_t at = static_cast<std::size_t>(k_lw - lw_cols.begin());
        for (std::size_t i = 0; i < n; ++i) x_lw(i, at) = twin[i];
    }
    const matrix::covariance::CovAndMean lw = matrix::covariance::listwise_cov_and_mean(x_lw.view());

    std::vector<std::size_t> pos(m);
    for (std::size_t a = 0; a < m; ++a) {
        const auto it = std::ranges::find(lw_cols, static_cast<std::uint64_t>(selected[a]));
        if (it == lw_cols.end()) return compute_error(format("selected column {} missing from listwise parent", selected[a]));
        pos[a] = static_cast<std::size_t>(it - lw_cols.begin());
    }
    Matrix sub = Matrix::uninit(m, m);
    Vector means = Vector::uninit(m);
    for (std::size_t a = 0; a < m; ++a) {
        means[a] = lw.mean[pos[a]];
        for (std::size_t b = 0; b < m; ++b) sub(a, b) = lw.cov(pos[a], pos[b]);
    }

    const helpers::CellInputs cell{x_sel.view(), theta_sel.view(), sub.view(), selected, sel.touches_hole,
                                   {.ysolo_histogram = false, .weights = false, .solo = false}};
    const helpers::CellMeans shared_means = [&] { return helpers::CombinationMean{std::move(means)}; };
    const helpers::CellWording wording{helpers::CellWording::Kind::NoiseTwin, k};
    return helpers::run_cell(ctx, cell, shared_means, wording,
                             [&](enums::CensorType, const predict::PredictInnerResult& pass) {
                                 double fs = 0.0, ys = 0.0;
                                 for (double v : pass.results.core.adjusted_fit) fs += v;
                                 for (double v : pass.results.core.yhat) ys += v;
                                 acc.twin_fit_sum[k] += fs;
                                 acc.twin_yhat_sum[k] += ys;
                                 acc.twin_count[k] += 1;
                             });
}

}  // namespace toolbox::qel::models::grid::missing_importance
