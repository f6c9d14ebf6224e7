#include "toolbox/qel/models/grid/setup.hpp"

#include <charconv>
#include <string>
#include <type_traits>

#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/nan/detection.hpp"
#include "toolbox/matrix/rowwise.hpp"
#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/models/inputs/inputs.hpp"
#include "toolbox/qel/models/predict/predict.hpp"
#include "toolbox/stats/binomial.hpp"

namespace toolbox::qel::models::grid::helpers {

using enums::CensorType;
using matrix::ByteMatrix;
using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;

namespace {

std::string hex(std::uint64_t v) {
    char buf[17];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
    return std::string(buf, r.ptr);
}

}  // namespace

static_assert(std::is_same_v<std::uint64_t, std::size_t>);

Matrix select_columns(MatView x, std::span<const std::size_t> columns) {
    Matrix out = Matrix::uninit(x.rows(), columns.size());
    for (std::size_t i = 0; i < x.rows(); ++i) {
        for (std::size_t a = 0; a < columns.size(); ++a) out(i, a) = x(i, columns[a]);
    }
    return out;
}

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
    const Matrix sub = select_columns(x, columns);
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
    if (auto usable = inputs::check_model_inputs(y, theta, options.predict.prediction_scale,
                                                 inputs::TargetRule::SomeAttribute);
        !usable) {
        return std::unexpected(std::move(usable.error()));
    }
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
        if (!s) return std::unexpected(std::move(s.error()));
        setup.combos = std::move(s->combos);
        setup.n_combinations = s->count;
    } else {
        auto g = stats::binomial::generate_attribute_combi(k, options.max_iter, options.k, options.seed);
        if (!g) return std::unexpected(std::move(g.error()));
        setup.combos = std::move(g->combos);
        setup.n_combinations = g->count;
    }

    // Every cell inverts the covariance of its own columns: a column without
    // spread fails each cell that uses it.
    std::vector<std::uint8_t> used(k, 0);
    for (std::size_t r = 0; r < setup.combos.rows(); ++r) {
        for (std::size_t c = 0; c < k && c < setup.combos.cols(); ++c) used[c] |= setup.combos(r, c) != 0 ? 1 : 0;
    }
    if (auto spread = inputs::check_constant_columns(x, options.predict.inv_method, used); !spread)
        return std::unexpected(std::move(spread.error()));

    const auto split = matrix::nan::detection::get_missing_indices(x, matrix::Each::Column);
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
            const Matrix sub = select_columns(x, setup.complete_columns);
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

Vector plain_column_means(MatView x) {
    const std::size_t n = x.rows();
    Vector mean = Vector::uninit(x.cols());
    matrix::rowwise::column_sums(x, mean.data());
    const double dn = static_cast<double>(n);
    for (std::size_t a = 0; a < mean.size(); ++a) mean[a] /= dn;
    return mean;
}

CombinationMean combination_mean(const GridCovRef& source, MatView x_c, std::span<const std::size_t> columns,
                                 const Vector* column_means) {
    if (source.is_full()) {
        require(x_c.rows() > 0, "mean_axis returned None");
        if (column_means) {
            Vector mean = Vector::uninit(columns.size());
            for (std::size_t a = 0; a < columns.size(); ++a) mean[a] = (*column_means)[columns[a]];
            return {std::move(mean)};
        }
        return {plain_column_means(x_c)};
    }
    Vector mean = Vector::uninit(columns.size());
    for (std::size_t a = 0; a < columns.size(); ++a) mean[a] = source.parent->mean[columns[a]];
    return {std::move(mean)};
}

std::vector<CensorType> censor_list(CensorType type) {
    if (type == CensorType::Both) return {CensorType::Relevance, CensorType::Similarity};
    return {type};
}

ComboSelection combo_selection(const GridPredictionSetup& setup, std::size_t j) {
    require(j < setup.combos.rows(), "grid combination index out of range");
    ComboSelection sel;
    sel.row = setup.combos.row(j);
    bool hole = false;
    for (std::size_t c = 0; c < sel.row.size(); ++c) {
        if (sel.row[c] == 0) continue;
        sel.columns.push_back(c);
        if (setup.missing_flags[c] != 0) hole = true;
    }
    sel.touches_hole = setup.has_missing && hole;
    return sel;
}

std::vector<GridParJob> grid_job_list(const GridPredictionSetup& setup, const std::optional<NoiseTwins>& twins) {
    std::vector<GridParJob> jobs;
    for (std::size_t j = 0; j < setup.n_combinations; ++j) {
        jobs.push_back({GridParJob::Combination{j}});
        if (!twins) continue;
        const auto row = setup.combos.row(j);
        for (std::size_t k = 0; k < row.size(); ++k) {
            if (row[k] != 0 && k < twins->size() && (*twins)[k]) jobs.push_back({GridParJob::NoiseTwin{j, k}});
        }
    }
    return jobs;
}

}  // namespace toolbox::qel::models::grid::helpers
