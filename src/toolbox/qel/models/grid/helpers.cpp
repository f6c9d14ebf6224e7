#include "toolbox/qel/models/grid/helpers.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/nan/detection.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/insights/asymmetry/asymmetry.hpp"
#include "toolbox/qel/insights/relevance.hpp"
#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"
#include "toolbox/qel/models/binary/binary.hpp"
#include "toolbox/qel/models/grid/missing_importance.hpp"
#include "toolbox/qel/models/predict/predict.hpp"
#include "toolbox/qel/results/mutators.hpp"
#include "toolbox/stats/binomial.hpp"
#include "toolbox/stats/linear_regression.hpp"
#include "toolbox/stats/modality.hpp"

namespace toolbox::qel::models::grid::helpers {

using enums::CensorType;
using enums::GridRetainKey;
using enums::RetainGridObjects;
using matrix::Array3d;
using matrix::ByteMatrix;
using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;
using results::GridCellsData;
using results::PredictionResults;
namespace pw = insights::weights::prediction_weights;
namespace solo_dist = insights::solo_distributions;

namespace {

// The attributes at `columns`, every row. (Column indices are 64-bit words,
// the same type as size_t here.)
static_assert(std::is_same_v<std::uint64_t, std::size_t>);
Matrix select_columns(MatView x, std::span<const std::uint64_t> columns) {
    Matrix out = Matrix::uninit(x.rows(), columns.size());
    for (std::size_t i = 0; i < x.rows(); ++i) {
        for (std::size_t a = 0; a < columns.size(); ++a) out(i, a) = x(i, columns[a]);
    }
    return out;
}

std::string hex(std::uint64_t v) {
    char buf[17];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
    return std::string(buf, r.ptr);
}

bool has_key(const RetainGridObjects& retain, GridRetainKey key) {
    return retain.kind == RetainGridObjects::Kind::Keys && std::ranges::find(retain.keys, key) != retain.keys.end();
}

// All, or a key list holding any of `keys`.
bool wants(const RetainGridObjects& retain, std::initializer_list<GridRetainKey> keys) {
    if (retain.kind == RetainGridObjects::Kind::All) return true;
    for (GridRetainKey k : keys) {
        if (has_key(retain, k)) return true;
    }
    return false;
}

// An N-vector added to a per-observation sum; one value stands for every row.
void add_broadcast(Vector& sum, VecView v) {
    if (v.size() == 1) {
        for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += v[0];
        return;
    }
    require(v.size() == sum.size(), "grid accumulator: per-observation array does not match the observations");
    for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += v[i];
}

// Row sums of m_it * e_t, each row from 0.0 in threshold order.
Vector weighted_row_sums(MatView m, VecView e) {
    require(m.cols() == e.size(), "grid accumulator: matrix columns do not match the thresholds");
    Vector out(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) {
        double s = 0.0;
        for (std::size_t t = 0; t < e.size(); ++t) s += m(i, t) * e[t];
        out[i] = s;
    }
    return out;
}

void write_row(Matrix& m, std::size_t j, VecView v) {
    require(j < m.rows(), "grid cell index beyond the stored combinations");
    if (v.size() == 1) {
        for (std::size_t t = 0; t < m.cols(); ++t) m(j, t) = v[0];
        return;
    }
    require(v.size() == m.cols(), "grid cell array cannot be broadcast to the stored thresholds");
    for (std::size_t t = 0; t < m.cols(); ++t) m(j, t) = v[t];
}

// Nearest integer, halves away from zero, as an unsigned count; what has no
// such count (NaN, negative, too large) becomes 0.
std::size_t round_count(double v) {
    const double r = std::round(v);
    if (!(r >= 0.0) || !(r < 18446744073709551616.0)) return 0;
    return static_cast<std::size_t>(r);
}

std::string_view censor_name(CensorType c) { return c == CensorType::Relevance ? "relevance" : "similarity"; }

}  // namespace

std::vector<CensorType> censor_list(CensorType type) {
    if (type == CensorType::Both) return {CensorType::Relevance, CensorType::Similarity};
    return {type};
}

// ---------------------------------------------------------------- setup

std::uint64_t hole_mask(ByteRow row, std::span<const std::uint64_t> missing_columns) {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < missing_columns.size() && i < 64; ++i) {
        if (row[missing_columns[i]] != 0) mask |= std::uint64_t{1} << i;
    }
    return mask;
}

ListwiseParent listwise_parent_for_mask(std::uint64_t mask, MatView x, std::span<const std::uint64_t> missing_columns,
                                        std::span<const std::uint64_t> complete_columns, std::size_t k) {
    std::vector<std::uint64_t> columns(complete_columns.begin(), complete_columns.end());
    for (std::size_t i = 0; i < missing_columns.size(); ++i) {
        if (mask & (std::uint64_t{1} << i)) columns.push_back(missing_columns[i]);
    }
    const Matrix sub = select_columns(x, std::span<const std::uint64_t>(columns));
    const matrix::covariance::CovAndMean lw = matrix::covariance::listwise_cov_and_mean(sub.view());
    ListwiseParent parent{Matrix(k, k), Vector(k), lw.n};
    for (std::size_t a = 0; a < columns.size(); ++a) {
        parent.mean[columns[a]] = lw.mean[a];
        for (std::size_t b = 0; b < columns.size(); ++b) parent.cov(columns[a], columns[b]) = lw.cov(a, b);
    }
    return parent;
}

ListwiseParents build_listwise_cov_parents(const std::unordered_set<std::uint64_t>& masks, MatView x,
                                           std::span<const std::uint64_t> missing_columns,
                                           std::span<const std::uint64_t> complete_columns, std::size_t k,
                                           bool parallel) {
    const std::vector<std::uint64_t> list(masks.begin(), masks.end());
    ListwiseParents parents;
    if (!parallel || list.size() < 2) {
        for (std::uint64_t mask : list) {
            parents.emplace(mask, listwise_parent_for_mask(mask, x, missing_columns, complete_columns, k));
        }
        return parents;
    }
    std::vector<std::optional<ListwiseParent>> built(list.size());
    toolbox::parallel::parallel_for(0, list.size(), 1, [&](std::size_t i) {
        built[i] = listwise_parent_for_mask(list[i], x, missing_columns, complete_columns, k);
    });
    for (std::size_t i = 0; i < list.size(); ++i) parents.emplace(list[i], std::move(*built[i]));
    return parents;
}

Result<GridPredictionSetup> prepare_grid_prediction_setup(VecView y, MatView x, VecView theta,
                                                          const config::GridOptions& options) {
    const std::size_t n = x.rows();
    const std::size_t k = x.cols();
    GridPredictionSetup setup;
    setup.y = Vector::from(y);
    setup.x = Matrix::from(x);
    setup.theta = Matrix::uninit(1, theta.size());
    for (std::size_t j = 0; j < theta.size(); ++j) setup.theta(0, j) = theta[j];

    if (options.attribute_combi) {
        const Matrix& list = *options.attribute_combi;
        // The cells index the list by attribute; a list over other columns
        // would read beyond X or leave attributes out.
        if (list.size() != 0 && list.cols() != k) {
            return compute_error(format("attribute_combi has {} columns but X has {} attributes", list.cols(), k));
        }
        ByteMatrix bytes(list.rows(), list.cols());
        for (std::size_t r = 0; r < list.rows(); ++r) {
            for (std::size_t c = 0; c < list.cols(); ++c) bytes(r, c) = list(r, c) != 0.0 ? 1 : 0;
        }
        auto s = stats::binomial::sample_attribute_combi(bytes.view(), options.max_iter, options.k);
        setup.combos = std::move(s.combos);
        setup.n_combinations = s.count;
    } else {
        auto g = stats::binomial::generate_attribute_combi(k, options.max_iter, options.k, options.seed);
        if (!g) return std::unexpected(std::move(g.error()));
        setup.combos = std::move(g->combos);
        setup.n_combinations = g->count;
    }

    const auto split = matrix::nan::detection::get_missing_indices(x, 1);
    setup.missing_columns.assign(split.missing.begin(), split.missing.end());
    setup.complete_columns.assign(split.complete.begin(), split.complete.end());
    setup.missing_flags.assign(k, 0);
    for (std::uint64_t c : setup.missing_columns) setup.missing_flags[c] = 1;
    setup.has_missing = !setup.missing_columns.empty();

    if (!setup.has_missing) {
        setup.full_cov = matrix::covariance::cov(x);
    } else {
        setup.full_cov = Matrix(k, k);
        if (!setup.complete_columns.empty()) {
            const Matrix sub = select_columns(x, std::span<const std::uint64_t>(setup.complete_columns));
            const Matrix c = matrix::covariance::cov(sub.view());
            const auto& cc = setup.complete_columns;
            for (std::size_t a = 0; a < cc.size(); ++a) {
                for (std::size_t b = 0; b < cc.size(); ++b) setup.full_cov(cc[a], cc[b]) = c(a, b);
            }
        }
    }

    if (auto finite = predict::check_covariance_finite(setup.full_cov.view()); !finite) {
        return std::unexpected(std::move(finite.error()));
    }

    if (setup.missing_columns.size() > 64) {
        return compute_error("Grid listwise covariance cache supports at most 64 columns with missing values");
    }

    std::unordered_set<std::uint64_t> masks;
    for (std::size_t r = 0; r < setup.combos.rows(); ++r) {
        const std::uint64_t m = hole_mask(setup.combos.row(r), setup.missing_columns);
        if (m != 0) masks.insert(m);
    }
    setup.listwise_parents =
        build_listwise_cov_parents(masks, x, setup.missing_columns, setup.complete_columns, k,
                                   options.inner_parallel == enums::InnerParallel::Auto);
    setup.n_observations = n;
    setup.n_attributes = k;
    return setup;
}

Result<GridCovRef> combination_cov_parent(bool touches_hole, ByteRow row,
                                          std::span<const std::uint64_t> missing_columns, const Matrix& full_cov,
                                          const ListwiseParents& parents) {
    if (!touches_hole) return GridCovRef{&full_cov, nullptr};
    const std::uint64_t mask = hole_mask(row, missing_columns);
    const auto it = parents.find(mask);
    if (it == parents.end()) {
        return compute_error("listwise covariance parent missing for hole-column mask " + hex(mask));
    }
    return GridCovRef{nullptr, &it->second};
}

CombinationMean combination_mean(const GridCovRef& source, MatView x_c, std::span<const std::size_t> columns) {
    const std::size_t m = x_c.cols();
    if (source.is_full()) {
        require(x_c.rows() > 0, "mean_axis returned None");
        Vector mean(m);
        for (std::size_t i = 0; i < x_c.rows(); ++i) {
            for (std::size_t a = 0; a < m; ++a) mean[a] += x_c(i, a);
        }
        const double dn = static_cast<double>(x_c.rows());
        for (std::size_t a = 0; a < m; ++a) mean[a] /= dn;
        return {std::move(mean), std::nullopt};
    }
    Vector mean = Vector::uninit(columns.size());
    for (std::size_t a = 0; a < columns.size(); ++a) mean[a] = source.parent->mean[columns[a]];
    return {std::move(mean), source.parent->n_complete};
}

// ---------------------------------------------------------------- accumulator

GridCompositeAccumulator GridCompositeAccumulator::create(std::size_t n, std::size_t k) {
    GridCompositeAccumulator a;
    a.include_weight_sum = Vector(n);
    a.exclude_weight_sum = Vector(n);
    a.variable_fit_sum = Vector(k);
    a.in_fit_sum = Vector(k);
    a.out_fit_sum = Vector(k);
    a.in_yhat_sum = Vector(k);
    a.out_yhat_sum = Vector(k);
    a.out_yhat_fit_sum = Vector(k);
    a.out_fit_total = Vector(k);
    a.xi_solo_sum = Vector(n);
    a.valid_count = Vector(n);
    a.twin_fit_sum = Vector(k);
    a.twin_yhat_sum = Vector(k);
    a.twin_count.assign(k, 0);
    return a;
}

void GridCompositeAccumulator::merge(const GridCompositeAccumulator& r) {
    auto add = [](Vector& a, const Vector& b) {
        require(a.size() == b.size(), "grid accumulators of different sizes");
        for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
    };
    add(include_weight_sum, r.include_weight_sum);
    add(exclude_weight_sum, r.exclude_weight_sum);
    add(variable_fit_sum, r.variable_fit_sum);
    add(in_fit_sum, r.in_fit_sum);
    add(out_fit_sum, r.out_fit_sum);
    add(in_yhat_sum, r.in_yhat_sum);
    add(out_yhat_sum, r.out_yhat_sum);
    add(out_yhat_fit_sum, r.out_yhat_fit_sum);
    add(out_fit_total, r.out_fit_total);
    add(xi_solo_sum, r.xi_solo_sum);
    add(valid_count, r.valid_count);
    add(twin_fit_sum, r.twin_fit_sum);
    add(twin_yhat_sum, r.twin_yhat_sum);
    require(twin_count.size() == r.twin_count.size(), "grid accumulators of different sizes");
    for (std::size_t i = 0; i < twin_count.size(); ++i) twin_count[i] += r.twin_count[i];
    size_fit_total += r.size_fit_total;
    n_fit_total += r.n_fit_total;
    yhat_fit_total += r.yhat_fit_total;
    adjusted_fit_total_sum += r.adjusted_fit_total_sum;
    fit_square_total += r.fit_square_total;
    second_moment_total += r.second_moment_total;
    has_solo_statistics = has_solo_statistics || r.has_solo_statistics;
}

void accumulate_grid_composite_stats(GridCompositeAccumulator& acc, VecView yhat, const PredictionResults& cell,
                                     ByteRow row, const results::SoloDistributionStatistics* solo,
                                     const insights::weights::psr_weights::CellAdjFitWeights* cell_weights) {
    const Vector& af = cell.core.adjusted_fit;
    const std::size_t t = af.size();
    require(yhat.size() == t, "grid cell: yhat and adjusted fit differ in length");
    const std::size_t k = acc.variable_fit_sum.size();
    require(row.size() == k, "grid cell: combination row does not match the attributes");

    double s = 0.0;
    for (std::size_t i = 0; i < t; ++i) s += af[i];
    acc.adjusted_fit_total_sum += s;

    double used = 0.0;
    for (std::uint8_t v : row) used += static_cast<double>(v);
    acc.size_fit_total += used * s;

    const results::PredictionAuxiliaryInfo* aux = cell.auxiliary ? &*cell.auxiliary : nullptr;
    if (aux) {
        require(aux->n.size() == t && aux->k.size() == t, "grid cell: auxiliary counts do not match the thresholds");
        double nf = 0.0;
        for (std::size_t i = 0; i < t; ++i) nf += static_cast<double>(aux->n[i]) * af[i];
        acc.n_fit_total += nf;
    }

    double yaf = 0.0;
    for (std::size_t i = 0; i < t; ++i) yaf += yhat[i] * af[i];
    acc.yhat_fit_total += yaf;

    double afaf = 0.0;
    for (std::size_t i = 0; i < t; ++i) afaf += af[i] * af[i];
    acc.fit_square_total += afaf;

    // A threshold that kept no more observations than attributes adds no
    // include weight.
    Vector e = Vector::uninit(t);
    for (std::size_t i = 0; i < t; ++i) {
        const double g = aux ? (aux->n[i] > aux->k[i] ? 1.0 : 0.0) : 1.0;
        e[i] = af[i] * g;
    }

    if (cell_weights) {
        add_broadcast(acc.include_weight_sum, cell_weights->include.view());
        add_broadcast(acc.exclude_weight_sum, cell_weights->exclude.view());
    } else {
        if (cell.weights) add_broadcast(acc.include_weight_sum, weighted_row_sums(cell.weights->view(), e).view());
        if (cell.weights_excluded) {
            add_broadcast(acc.exclude_weight_sum, weighted_row_sums(cell.weights_excluded->view(), af.view()).view());
        }
    }

    double ysum = 0.0;
    for (std::size_t i = 0; i < t; ++i) ysum += yhat[i];
    for (std::size_t j = 0; j < k; ++j) {
        const double l = row[j] != 0 ? 1.0 : 0.0;
        const double m = 1.0 - l;
        acc.variable_fit_sum[j] += l * s;
        acc.in_fit_sum[j] += l * s;
        acc.out_fit_sum[j] += m * s;
        acc.in_yhat_sum[j] += l * ysum;
        acc.out_yhat_sum[j] += m * ysum;
        acc.out_yhat_fit_sum[j] += m * yaf;
        acc.out_fit_total[j] += m * s;
    }

    if (solo && solo->ysolo_sigma) {
        const Vector& sigma = *solo->ysolo_sigma;
        require(sigma.size() == t, "grid cell: solo sigma does not match the thresholds");
        acc.has_solo_statistics = true;
        double sm = 0.0;
        for (std::size_t i = 0; i < t; ++i) {
            const double si = std::isnan(sigma[i]) ? 0.0 : sigma[i];
            sm += (si * si + yhat[i] * yhat[i]) * af[i];
        }
        acc.second_moment_total += sm;
    }

    if (cell.solo_distribution && cell.solo_distribution->xi_solo) {
        add_broadcast(acc.xi_solo_sum, weighted_row_sums(cell.solo_distribution->xi_solo->view(), e).view());
    }

    if (cell.insights) {
        const std::optional<Vector>* scores = nullptr;
        if (cell.insights->relevance) {
            scores = &cell.insights->relevance;
        } else if (cell.insights->similarity) {
            scores = &cell.insights->similarity;
        }
        if (scores) {
            const Vector& sc = **scores;
            require(sc.size() == acc.valid_count.size(), "grid cell: scores do not match the observations");
            const double dt = static_cast<double>(t);
            for (std::size_t i = 0; i < sc.size(); ++i) {
                if (!std::isnan(sc[i])) acc.valid_count[i] += dt;
            }
        }
    }
}

// ---------------------------------------------------------------- retained cells

GridCellsData initialize_grid_cell_storage(std::span<const CensorType> censors, std::size_t c, std::size_t t,
                                           std::size_t k, std::size_t n, const RetainGridObjects& retain) {
    GridCellsData cells;
    if (wants(retain, {GridRetainKey::KCells})) cells.k_cells = results::share(Matrix(c, t));
    if (wants(retain, {GridRetainKey::CombiCells})) cells.combi_cells = results::share(Matrix(c, k));
    const bool solo = wants(retain, {GridRetainKey::YsoloDistribution, GridRetainKey::YsoloCells});
    if (solo) cells.ysolo_cells = results::share(Matrix(n, c));

    if (!wants(retain, {GridRetainKey::YhatCells, GridRetainKey::AdjustedFitCells, GridRetainKey::NCells,
                        GridRetainKey::WeightsCells, GridRetainKey::YsoloDistribution, GridRetainKey::YsoloCells})) {
        return cells;
    }
    for (CensorType censor : censors) {
        results::CensorGridCells part;
        if (wants(retain, {GridRetainKey::YhatCells})) part.yhat_cells = Matrix(c, t);
        if (wants(retain, {GridRetainKey::AdjustedFitCells})) part.adjusted_fit_cells = Matrix(c, t);
        if (wants(retain, {GridRetainKey::NCells})) part.n_cells = Matrix(c, t);
        if (wants(retain, {GridRetainKey::WeightsCells})) part.weights_cells = Array3d(n, t, c);
        if (solo) part.xi_solo_cells = Array3d(n, t, c);
        switch (censor) {
            case CensorType::Relevance: cells.relevance = std::move(part); break;
            case CensorType::Similarity: cells.similarity = std::move(part); break;
            default:
                fault("internal error: entered unreachable code: Both should be expanded before calling this "
                      "function");
        }
    }
    return cells;
}

void store_grid_cell_details(GridCellsData& cells, std::string_view censor, std::size_t j, VecView yhat,
                             const PredictionResults& cell, ByteRow row) {
    std::optional<results::CensorGridCells>* target = nullptr;
    if (censor == "relevance") {
        target = &cells.relevance;
    } else if (censor == "similarity") {
        target = &cells.similarity;
    } else {
        return;
    }
    const bool has_solo = cell.solo_distribution.has_value();
    if (target->has_value()) {
        results::CensorGridCells& part = **target;
        if (part.yhat_cells) write_row(*part.yhat_cells, j, yhat);
        if (part.adjusted_fit_cells) write_row(*part.adjusted_fit_cells, j, cell.core.adjusted_fit.view());
        if (part.n_cells) {
            Matrix& m = *part.n_cells;
            if (cell.auxiliary) {
                Vector nv = Vector::uninit(cell.auxiliary->n.size());
                for (std::size_t i = 0; i < nv.size(); ++i) nv[i] = static_cast<double>(cell.auxiliary->n[i]);
                write_row(m, j, nv.view());
            } else {
                write_row(m, j, Vector(m.cols()).view());
            }
        }
        if (part.weights_cells && cell.weights) {
            Array3d& w = *part.weights_cells;
            const Matrix& cw = *cell.weights;
            require(j < w.dim2() && cw.rows() == w.dim0() && cw.cols() == w.dim1(),
                    "grid cell weights do not match the stored cells");
            for (std::size_t i = 0; i < cw.rows(); ++i) {
                for (std::size_t t = 0; t < cw.cols(); ++t) w(i, t, j) = cw(i, t);
            }
        }
        if (part.xi_solo_cells && has_solo && cell.solo_distribution->xi_solo) {
            Array3d& xs = *part.xi_solo_cells;
            const Matrix& xi = *cell.solo_distribution->xi_solo;
            const Vector& af = cell.core.adjusted_fit;
            require(j < xs.dim2() && xi.rows() == xs.dim0() && xi.cols() == xs.dim1() && af.size() == xi.cols(),
                    "grid cell solo weights do not match the stored cells");
            for (std::size_t i = 0; i < xi.rows(); ++i) {
                for (std::size_t t = 0; t < xi.cols(); ++t) {
                    const double a = std::isnan(af[t]) ? 0.0 : af[t];
                    xs(i, t, j) = xi(i, t) * a;
                }
            }
        }
    }

    double used = 0.0;
    for (std::uint8_t v : row) used += v != 0 ? 1.0 : 0.0;
    if (cells.k_cells) {
        Matrix& m = results::make_mut(*cells.k_cells);
        write_row(m, j, Vector{used}.view());
    }
    if (cells.ysolo_cells && has_solo && cell.solo_distribution->y_solo) {
        Matrix& m = results::make_mut(*cells.ysolo_cells);
        const Vector& ys = *cell.solo_distribution->y_solo;
        require(j < m.cols() && ys.size() == m.rows(), "grid cell solo predictions do not match the stored cells");
        for (std::size_t i = 0; i < ys.size(); ++i) m(i, j) = ys[i];
    }
    if (cells.combi_cells) {
        Matrix& m = results::make_mut(*cells.combi_cells);
        require(j < m.rows() && row.size() == m.cols(), "grid combination row does not match the stored cells");
        for (std::size_t a = 0; a < row.size(); ++a) m(j, a) = row[a] != 0 ? 1.0 : 0.0;
    }
}

// ---------------------------------------------------------------- finalisation

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
                    if (w >= 0.0001) {
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
    auto d = solo_dist::compute_ysolo_summary(pooled->first.view(), w, 5.0);
    if (!d) return std::unexpected(std::move(d.error()));
    return std::optional<results::YSoloDistributionSummary>{std::move(*d)};
}

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
        }
        for (std::size_t i = 0; i < n; ++i) yhat += w_in[i] * y[i];
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
    results.insights->weights_concentration = results::weights_concentration_from_matrix(results.weights->view());

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

    if (results.grid_cells) {
        auto summary = build_ysolo_distribution_from_grid_cells(*results.grid_cells);
        if (!summary) return std::unexpected(std::move(summary.error()));
        if (*summary) {
            if (!results.solo_distribution) results.solo_distribution.emplace();
            results.solo_distribution->ysolo_distribution = std::move(**summary);
        }
    }

    if (options.predict.prediction_scale == enums::PredictionScale::Logistic) {
        std::optional<MatView> cov_inv;
        if (options.predict.cov_inv) cov_inv = options.predict.cov_inv->view();
        auto p_yhat = binary::logistic_probability_from_yhat(y, x, results.core.yhat.view(), cov_inv);
        if (!p_yhat) return std::unexpected(std::move(p_yhat.error()));
        results.core.yhat = std::move(*p_yhat);

        if (results.grid_cells && results.grid_cells->ysolo_cells) {
            Matrix& ys = results::make_mut(*results.grid_cells->ysolo_cells);
            const VecView flat(ys.data(), ys.size());
            auto mapped = binary::logistic_probability_from_yhat(y, x, flat, cov_inv);
            if (!mapped) return std::unexpected(std::move(mapped.error()));
            require(mapped->size() == ys.size(), "logistic scale changed the number of solo cells");
            std::copy_n(mapped->data(), ys.size(), ys.data());
        }
        if (results.grid_cells) {
            auto summary = build_ysolo_distribution_from_grid_cells(*results.grid_cells);
            if (!summary) return std::unexpected(std::move(summary.error()));
            if (*summary) {
                if (!results.solo_distribution) results.solo_distribution.emplace();
                results.solo_distribution->ysolo_distribution = std::move(**summary);
            }
            if (auto pooled = pool_ysolo_cell_samples(*results.grid_cells)) {
                const MatView w(pooled->second.data(), pooled->second.size(), 1);
                auto st = solo_dist::solo_statistics_record(pooled->first.view(), w, results.core.yhat.view());
                if (!st) return std::unexpected(std::move(st.error()));
                results::get_or_alloc_solo_statistics(results) = std::move(*st);
            }
        }
    }

    if (results.grid_cells && !has_key(options.retain_grid_objects, GridRetainKey::YsoloCells)) {
        GridCellsData& cells = *results.grid_cells;
        cells.ysolo_cells.reset();
        if (cells.relevance) cells.relevance->xi_solo_cells.reset();
        if (cells.similarity) cells.similarity->xi_solo_cells.reset();
    }
    return {};
}

// ---------------------------------------------------------------- the cell

Result<void> run_combination_cell(const GridRunContext& ctx, const ComboSelection& sel, std::size_t j,
                                  GridCompositeAccumulator& acc, const CellSink* sink, bool wrap_errors) {
    if (sel.columns.empty()) return {};
    const GridPredictionSetup& setup = ctx.setup;
    const config::GridOptions& options = ctx.options;

    auto source = combination_cov_parent(sel.touches_hole, sel.row, setup.missing_columns, setup.full_cov,
                                         setup.listwise_parents);
    if (!source) {
        if (wrap_errors) return compute_error(format("cov parent error at q={}: {}", j, source.error().message));
        return std::unexpected(std::move(source.error()));
    }
    const std::size_t m = sel.columns.size();
    const Matrix& cov = source->cov();
    Matrix sub = Matrix::uninit(m, m);
    for (std::size_t a = 0; a < m; ++a) {
        for (std::size_t b = 0; b < m; ++b) sub(a, b) = cov(sel.columns[a], sel.columns[b]);
    }
    auto inv = predict::inverse_of_covariance(sub.view(), options.predict.inv_method);
    if (!inv) {
        if (wrap_errors) return compute_error(format("inv error at q={}: {}", j, inv.error().message));
        return std::unexpected(std::move(inv.error()));
    }

    const Matrix x_c = select_columns(setup.x.view(), std::span<const std::size_t>(sel.columns));
    Vector theta_c = Vector::uninit(m);
    for (std::size_t a = 0; a < m; ++a) theta_c[a] = setup.theta(0, sel.columns[a]);

    config::PredictOptions cell_options = config::for_inner_search_cell(options.predict);
    cell_options.missing_moments =
        sel.touches_hole ? enums::MissingMoments::Complete : enums::MissingMoments::Pairwise;

    const RetainGridObjects& retain = options.retain_grid_objects;
    const bool weights_flag = wants(retain, {GridRetainKey::WeightsCells});
    const bool solo_flag = enums::allocates_ysolo_cells(retain);

    const bool shared = ctx.censors.size() > 1;
    std::optional<pw::PrecomputedInsights> pre;
    if (shared) {
        CombinationMean cm = combination_mean(*source, x_c.view(), sel.columns);
        auto rel = insights::relevance(x_c.view(), theta_c.view(), cm.mean.view(), inv->view());
        if (!rel) {
            if (wrap_errors) return compute_error(format("relevance error at q={}: {}", j, rel.error().message));
            return std::unexpected(std::move(rel.error()));
        }
        pre = pw::PrecomputedInsights{cm.complete_rows, std::move(rel->relevance), std::move(rel->similarity),
                                      std::move(rel->info_x), std::move(rel->info_theta)};
    }
    cell_options.cov_inv = std::move(*inv);

    for (std::size_t pass = 0; pass < ctx.censors.size(); ++pass) {
        const CensorType censor = ctx.censors[pass];
        cell_options.censor_type = censor;
        pw::InsightSource src = pw::InsightSource::compute();
        if (pre) {
            src = pass + 1 < ctx.censors.size() ? pw::InsightSource::borrowed(*pre)
                                                : pw::InsightSource::owned(std::move(*pre));
        }
        auto cell = predict::predict_inner_with_insights(
            setup.y.view(), x_c.view(), theta_c.view(), cell_options, std::move(src),
            {.ysolo_histogram = false, .weights = weights_flag, .solo = solo_flag});
        if (!cell) {
            if (wrap_errors) {
                return compute_error(format("Prediction error at q={}, censor={}: {}", j,
                                            enums::censor_type_debug_name(censor), cell.error().message));
            }
            return std::unexpected(std::move(cell.error()));
        }
        const PredictionResults& res = cell->results;
        const results::SoloDistributionStatistics* stats = nullptr;
        if (res.solo_distribution && res.solo_distribution->statistics &&
            res.solo_distribution->statistics->ysolo_sigma) {
            stats = &*res.solo_distribution->statistics;
        }
        accumulate_grid_composite_stats(acc, res.core.yhat.view(), res, sel.row, stats,
                                        cell->cell_weights ? &*cell->cell_weights : nullptr);
        if (sink) {
            if (auto r = (*sink)(censor_name(censor), j, res.core.yhat.view(), res, sel.row); !r) return r;
        }
    }
    return {};
}

// ---------------------------------------------------------------- prelude and end

Result<GridRunStart> grid_run_prelude(VecView y, MatView x, VecView theta, const config::GridOptions& options) {
    auto setup = prepare_grid_prediction_setup(y, x, theta, options);
    if (!setup) return std::unexpected(std::move(setup.error()));
    GridRunStart start{std::move(*setup), 0, std::nullopt, std::nullopt};
    start.t = config::threshold_or_default_range(options.predict).size();
    const RetainGridObjects& retain = options.retain_grid_objects;
    const bool keep = retain.kind == RetainGridObjects::Kind::All ||
                      (retain.kind == RetainGridObjects::Kind::Keys && !retain.keys.empty());
    const auto censors = censor_list(options.predict.censor_type);
    if (keep) {
        start.storage = initialize_grid_cell_storage(censors, start.setup.n_combinations, start.t,
                                                     start.setup.n_attributes, start.setup.n_observations, retain);
    }
    if (start.setup.has_missing && options.adjust_impact_for_missing) {
        start.twins = missing_importance::precompute_garbage_columns(start.setup.x.view(),
                                                                     start.setup.missing_columns, options.seed);
    }
    return start;
}

Result<PredictionResults> finish_grid_run(const GridRunContext& ctx, const GridCompositeAccumulator& acc,
                                          std::optional<GridCellsData> storage, VecView y, MatView x,
                                          VecView theta) {
    const GridPredictionSetup& setup = ctx.setup;
    PredictionResults results = PredictionResults::create(setup.n_observations, setup.n_attributes, 1, Vector{});
    results.grid_cells = std::move(storage);
    if (auto r = finalize_grid_results(acc, setup.combos, setup.y.view(), setup.x.view(), results, setup.has_missing,
                                       ctx.t, ctx.censors.size(), ctx.options);
        !r) {
        return std::unexpected(std::move(r.error()));
    }
    if (ctx.options.predict.include_linear_regression) {
        if (auto r = predict::store_linear_regression(results, y, x, theta); !r) {
            return std::unexpected(std::move(r.error()));
        }
    }
    return results;
}

}  // namespace toolbox::qel::models::grid::helpers
