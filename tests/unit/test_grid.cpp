// Grid search internals: setup and the listwise covariance cache, the
// composite accumulator and its finalisation, retained cells, noise twins,
// and the two run modes against each other.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "sample_data.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/qel/models/grid/grid.hpp"
#include "toolbox/qel/models/grid/accumulator.hpp"
#include "toolbox/qel/models/grid/cell.hpp"
#include "toolbox/qel/models/grid/cells.hpp"
#include "toolbox/qel/models/grid/finalise.hpp"
#include "toolbox/qel/models/grid/run.hpp"
#include "toolbox/qel/models/grid/setup.hpp"
#include "toolbox/qel/models/grid/missing_importance.hpp"
#include "toolbox/qel/models/grid/parallel.hpp"
#include "toolbox/qel/models/grid/sequential.hpp"

namespace {

using namespace toolbox::qel::models::grid::helpers;
namespace mi = toolbox::qel::models::grid::missing_importance;
namespace par = toolbox::qel::models::grid::parallel;
namespace seq = toolbox::qel::models::grid::sequential;
using toolbox::enums::CensorType;
using toolbox::enums::GridRetainKey;
using toolbox::enums::RetainGridObjects;
using toolbox::matrix::ByteMatrix;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
using toolbox::qel::models::config::GridOptions;
using toolbox::qel::results::PredictionResults;
using test_data::Data;

Data sample(std::size_t n, std::size_t k, unsigned seed) { return test_data::make_data(n, k, seed); }

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();


bool same_bits(const Vector& a, const Vector& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}
bool same_bits(const Matrix& a, const Matrix& b) {
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

Matrix list_of(std::initializer_list<std::initializer_list<double>> rows) { return Matrix(rows); }

// ------------------------------------------------------------------ setup

TEST(GridSetup, CompleteDataUsesTheSampleCovarianceAndNoCache) {
    const Data d = sample(20, 3, 1);
    auto s = prepare_grid_prediction_setup(d.y.view(), d.x.view(), d.theta.view(), GridOptions{});
    ASSERT_TRUE(s) << s.error().message;
    EXPECT_FALSE(s->has_missing);
    EXPECT_TRUE(s->missing_columns.empty());
    EXPECT_EQ(s->complete_columns, (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_TRUE(same_bits(s->full_cov, toolbox::matrix::covariance::cov(d.x.view())));
    EXPECT_TRUE(s->listwise_parents.empty());
    EXPECT_EQ(s->n_combinations, 7u);
    EXPECT_EQ(s->theta.rows(), 1u);
    for (std::size_t j = 0; j < s->n_combinations; ++j) {
        const auto sel = combo_selection(*s, j);
        EXPECT_FALSE(sel.touches_hole);
        auto ref = combination_cov_parent(sel.touches_hole, sel.row, s->missing_columns, s->full_cov,
                                          s->listwise_parents);
        ASSERT_TRUE(ref);
        EXPECT_TRUE(ref->is_full());
    }
    EXPECT_THROW(combo_selection(*s, 7), toolbox::Fault);
}

TEST(GridSetup, HoleMasksShareParentsOverTheCompleteColumnsPlusTheirOwn) {
    Data d = sample(30, 5, 2);
    // Hole columns 1, 3, 4 (bits 0, 1, 2); complete columns 0, 2.
    d.x(2, 1) = kNaN;
    d.x(5, 3) = kNaN;
    d.x(7, 4) = kNaN;
    GridOptions o;
    o.attribute_combi = list_of({{1, 1, 0, 0, 1}, {0, 1, 1, 0, 1}, {1, 0, 1, 0, 0}, {0, 0, 0, 1, 0}});
    auto s = prepare_grid_prediction_setup(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(s) << s.error().message;
    EXPECT_TRUE(s->has_missing);
    EXPECT_EQ(s->missing_columns, (std::vector<std::uint64_t>{1, 3, 4}));
    EXPECT_EQ(s->missing_flags, (std::vector<std::uint8_t>{0, 1, 0, 1, 1}));
    // Masks 5 (rows 0 and 1 share it) and 2; row 2 uses no hole column.
    ASSERT_EQ(s->listwise_parents.size(), 2u);
    const ListwiseParent& p5 = s->listwise_parents.at(5);
    // Columns 0, 2, 1, 4 over the rows complete in them (rows 2 and 7 drop).
    Matrix sub(30, 4);
    const std::size_t cols[4] = {0, 2, 1, 4};
    for (std::size_t i = 0; i < 30; ++i) {
        for (std::size_t a = 0; a < 4; ++a) sub(i, a) = d.x(i, cols[a]);
    }
    const auto lw = toolbox::matrix::covariance::listwise_cov_and_mean(sub.view());
    EXPECT_EQ(p5.n_complete, 28u);
    for (std::size_t a = 0; a < 4; ++a) {
        EXPECT_EQ(p5.mean[cols[a]], lw.mean[a]);
        for (std::size_t b = 0; b < 4; ++b) EXPECT_EQ(p5.cov(cols[a], cols[b]), lw.cov(a, b));
    }
    EXPECT_EQ(p5.mean[3], 0.0);
    EXPECT_EQ(p5.cov(3, 3), 0.0);
    // The full covariance covers the complete columns only.
    EXPECT_EQ(s->full_cov(1, 1), 0.0);
    EXPECT_NE(s->full_cov(2, 2), 0.0);

    const auto sel = combo_selection(*s, 0);
    EXPECT_TRUE(sel.touches_hole);
    EXPECT_EQ(sel.columns, (std::vector<std::size_t>{0, 1, 4}));
    auto ref = combination_cov_parent(true, sel.row, s->missing_columns, s->full_cov, s->listwise_parents);
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->parent, &p5);
    const Matrix xc = [&] {
        Matrix m(30, 3);
        for (std::size_t i = 0; i < 30; ++i) {
            for (std::size_t a = 0; a < 3; ++a) m(i, a) = d.x(i, sel.columns[a]);
        }
        return m;
    }();
    const CombinationMean cm = combination_mean(*ref, xc.view(), sel.columns);
    EXPECT_EQ(cm.mean[1], p5.mean[1]);

    // On the full covariance the means are the columns' own plain means: the
    // run's means of the whole X, read at the combination's columns, have
    // their bits (a column with a NaN spreads it to its own mean only).
    const GridCovRef full{&s->full_cov, nullptr};
    const std::vector<std::size_t> some{0, 2, 4};
    const Matrix xs = [&] {
        Matrix m(30, 3);
        for (std::size_t i = 0; i < 30; ++i) {
            for (std::size_t a = 0; a < 3; ++a) m(i, a) = d.x(i, some[a]);
        }
        return m;
    }();
    const Vector all_means = plain_column_means(d.x.view());
    const CombinationMean own = combination_mean(full, xs.view(), some);
    const CombinationMean shared = combination_mean(full, xs.view(), some, &all_means);
    for (std::size_t a = 0; a < 3; ++a) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(shared.mean[a]), std::bit_cast<std::uint64_t>(own.mean[a])) << a;
    }
    EXPECT_TRUE(std::isnan(all_means[1]));

    // A mask the cache does not hold.
    ListwiseParents empty;
    auto miss = combination_cov_parent(true, sel.row, s->missing_columns, s->full_cov, empty);
    ASSERT_FALSE(miss);
    EXPECT_EQ(miss.error().message, "listwise covariance parent missing for hole-column mask 5");
    const std::uint8_t wide_row[5] = {0, 1, 0, 1, 1};
    std::vector<std::uint64_t> many(5);
    for (std::size_t i = 0; i < 5; ++i) many[i] = i;
    EXPECT_EQ(combination_cov_parent(true, wide_row, many, s->full_cov, empty).error().message,
              "listwise covariance parent missing for hole-column mask 1a");
}

TEST(GridSetup, AllColumnsMissingAndParentsWithoutCompleteRows) {
    Data d = sample(6, 2, 3);
    // Column 0 misses rows 0-2, column 1 rows 3-5: no row is complete in both.
    for (std::size_t i = 0; i < 3; ++i) d.x(i, 0) = kNaN;
    for (std::size_t i = 3; i < 6; ++i) d.x(i, 1) = kNaN;
    GridOptions o;
    o.inner_parallel = toolbox::enums::InnerParallel::Auto;
    auto s = prepare_grid_prediction_setup(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(s);
    for (double v : s->full_cov.flat()) EXPECT_EQ(v, 0.0);
    ASSERT_EQ(s->listwise_parents.size(), 3u);  // built on the pool: three masks
    const ListwiseParent& both = s->listwise_parents.at(3);
    EXPECT_EQ(both.n_complete, 0u);
    EXPECT_TRUE(std::isnan(both.cov(0, 1)));
    EXPECT_TRUE(std::isnan(both.mean[0]));
    EXPECT_EQ(s->listwise_parents.at(1).n_complete, 3u);
}

TEST(GridSetup, AtMostSixtyFourHoleColumns) {
    for (std::size_t k : {64u, 65u}) {
        Data d = sample(70, k, 4);
        for (std::size_t j = 0; j < k; ++j) d.x(j, j) = kNaN;
        GridOptions o;
        Matrix one(1, k);
        one(0, 0) = 1.0;
        o.attribute_combi = std::move(one);
        auto s = prepare_grid_prediction_setup(d.y.view(), d.x.view(), d.theta.view(), o);
        if (k == 64) {
            ASSERT_TRUE(s) << s.error().message;
            EXPECT_EQ(s->missing_columns.size(), 64u);
            EXPECT_EQ(s->listwise_parents.count(1), 1u);
        } else {
            ASSERT_FALSE(s);
            EXPECT_EQ(s.error().message,
                      "Grid listwise covariance cache supports at most 64 columns with missing values");
        }
    }
}

TEST(GridSetup, CallerListValuesBecomeFlags) {
    const Data d = sample(10, 3, 5);
    GridOptions o;
    o.attribute_combi = list_of({{0.5, 0, kNaN}, {0, 0, -2}});
    auto s = prepare_grid_prediction_setup(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(s);
    ASSERT_EQ(s->combos.rows(), 2u);
    EXPECT_EQ(std::vector<std::uint8_t>(s->combos.row(0).begin(), s->combos.row(0).end()),
              (std::vector<std::uint8_t>{1, 0, 1}));
    EXPECT_EQ(std::vector<std::uint8_t>(s->combos.row(1).begin(), s->combos.row(1).end()),
              (std::vector<std::uint8_t>{0, 0, 1}));
}

// ------------------------------------------------------------------ accumulator

// A cell over two thresholds and three observations, two attributes.
PredictionResults cell_fixture(Vector af, Vector yhat) {
    PredictionResults r = PredictionResults::create(3, 2, 2, Vector{0.2, 0.5});
    r.core.adjusted_fit = std::move(af);
    r.core.yhat = std::move(yhat);
    return r;
}

TEST(GridAccumulator, SumsOfOneCell) {
    PredictionResults cell = cell_fixture(Vector{2.0, 3.0}, Vector{10.0, 20.0});
    auto& aux = cell.auxiliary.emplace();
    aux.n = toolbox::qel::results::CountVector{5, 2};
    aux.k = toolbox::qel::results::CountVector{2, 2};  // threshold 1 keeps no more than k
    cell.weights = Matrix{{1.0, 1.0}, {0.5, 0.0}, {0.0, 2.0}};
    cell.weights_excluded = Matrix{{1.0, 0.0}, {0.0, 1.0}, {1.0, 1.0}};
    cell.insights.emplace().relevance = Vector{0.1, kNaN, 0.3};
    const std::uint8_t row[2] = {1, 0};

    GridCompositeAccumulator acc = GridCompositeAccumulator::create(3, 2);
    accumulate_grid_composite_stats(acc, cell.core.yhat.view(), cell, row, nullptr, nullptr);
    EXPECT_EQ(acc.adjusted_fit_total_sum, 5.0);
    EXPECT_EQ(acc.size_fit_total, 5.0);
    EXPECT_EQ(acc.n_fit_total, 5.0 * 2.0 + 2.0 * 3.0);
    EXPECT_EQ(acc.yhat_fit_total, 80.0);
    EXPECT_EQ(acc.fit_square_total, 13.0);
    // Include weights only through threshold 0 (n > k there); exclude weights
    // through both with the full adjusted fit.
    EXPECT_TRUE(same_bits(acc.include_weight_sum, Vector{2.0, 1.0, 0.0}));
    EXPECT_TRUE(same_bits(acc.exclude_weight_sum, Vector{2.0, 3.0, 5.0}));
    EXPECT_TRUE(same_bits(acc.variable_fit_sum, Vector{5.0, 0.0}));
    EXPECT_TRUE(same_bits(acc.out_fit_sum, Vector{0.0, 5.0}));
    EXPECT_TRUE(same_bits(acc.in_yhat_sum, Vector{30.0, 0.0}));
    EXPECT_TRUE(same_bits(acc.out_yhat_fit_sum, Vector{0.0, 80.0}));
    EXPECT_TRUE(same_bits(acc.valid_count, Vector{2.0, 0.0, 2.0}));
    EXPECT_FALSE(acc.has_solo_statistics);

    // Without auxiliary values: g = 1 everywhere, nothing into n_fit_total.
    PredictionResults bare = cell_fixture(Vector{1.0, 1.0}, Vector{1.0, 1.0});
    bare.weights = Matrix{{1.0, 1.0}, {1.0, 1.0}, {1.0, 1.0}};
    GridCompositeAccumulator b = GridCompositeAccumulator::create(3, 2);
    accumulate_grid_composite_stats(b, bare.core.yhat.view(), bare, row, nullptr, nullptr);
    EXPECT_EQ(b.n_fit_total, 0.0);
    EXPECT_TRUE(same_bits(b.include_weight_sum, Vector{2.0, 2.0, 2.0}));
    EXPECT_TRUE(same_bits(b.exclude_weight_sum, Vector{0.0, 0.0, 0.0}));

    // Streamed weights stand in for the matrices; one value broadcasts.
    toolbox::qel::insights::weights::psr_weights::CellAdjFitWeights cw{Vector{1.0, 2.0, 3.0}, Vector{4.0}};
    GridCompositeAccumulator c = GridCompositeAccumulator::create(3, 2);
    accumulate_grid_composite_stats(c, bare.core.yhat.view(), bare, row, nullptr, &cw);
    EXPECT_TRUE(same_bits(c.include_weight_sum, Vector{1.0, 2.0, 3.0}));
    EXPECT_TRUE(same_bits(c.exclude_weight_sum, Vector{4.0, 4.0, 4.0}));
    toolbox::qel::insights::weights::psr_weights::CellAdjFitWeights wrong{Vector{1.0, 2.0}, Vector{4.0}};
    EXPECT_THROW(accumulate_grid_composite_stats(c, bare.core.yhat.view(), bare, row, nullptr, &wrong),
                 toolbox::Fault);
}

TEST(GridAccumulator, SoloStatisticsAndXiSolo) {
    PredictionResults cell = cell_fixture(Vector{1.0, 2.0}, Vector{3.0, 4.0});
    auto& solo = cell.solo_distribution.emplace();
    solo.xi_solo = Matrix{{1.0, 0.0}, {0.0, 1.0}, {0.5, 0.5}};
    toolbox::qel::results::SoloDistributionStatistics st;
    st.ysolo_sigma = Vector{kNaN, 1.0};
    const std::uint8_t row[2] = {1, 1};
    GridCompositeAccumulator acc = GridCompositeAccumulator::create(3, 2);
    accumulate_grid_composite_stats(acc, cell.core.yhat.view(), cell, row, &st, nullptr);
    EXPECT_TRUE(acc.has_solo_statistics);
    EXPECT_EQ(acc.second_moment_total, (0.0 + 9.0) * 1.0 + (1.0 + 16.0) * 2.0);
    EXPECT_TRUE(same_bits(acc.xi_solo_sum, Vector{1.0, 2.0, 1.5}));
    EXPECT_EQ(acc.size_fit_total, 6.0);
}

TEST(GridAccumulator, MergeIsElementwiseAndAFreshSideChangesNothing) {
    PredictionResults cell = cell_fixture(Vector{1.5, 2.5}, Vector{3.0, 4.0});
    const std::uint8_t r1[2] = {1, 0}, r2[2] = {0, 1};
    GridCompositeAccumulator a = GridCompositeAccumulator::create(3, 2);
    accumulate_grid_composite_stats(a, cell.core.yhat.view(), cell, r1, nullptr, nullptr);
    a.twin_count[1] = 2;
    GridCompositeAccumulator before = a;
    a.merge(GridCompositeAccumulator::create(3, 2));
    EXPECT_TRUE(same_bits(a.in_fit_sum, before.in_fit_sum));
    EXPECT_EQ(a.adjusted_fit_total_sum, before.adjusted_fit_total_sum);
    GridCompositeAccumulator b = GridCompositeAccumulator::create(3, 2);
    accumulate_grid_composite_stats(b, cell.core.yhat.view(), cell, r2, nullptr, nullptr);
    b.twin_count[1] = 3;
    b.has_solo_statistics = true;
    a.merge(b);
    EXPECT_TRUE(same_bits(a.in_fit_sum, Vector{4.0, 4.0}));
    EXPECT_EQ(a.twin_count[1], 5u);
    EXPECT_TRUE(a.has_solo_statistics);
    EXPECT_EQ(a.adjusted_fit_total_sum, 8.0);
}

// ------------------------------------------------------------------ finalisation

TEST(GridFinalisation, ZeroPoolFailsAndLeavesTheResultsAlone) {
    GridCompositeAccumulator acc = GridCompositeAccumulator::create(3, 2);
    PredictionResults r = PredictionResults::create(3, 2, 1, Vector{});
    const ByteMatrix combos{{1, 0}};
    const Vector y{1.0, 2.0, 3.0};
    auto f = calculate_composite_results(acc, combos, y.view(), r, false, 1, 1);
    ASSERT_FALSE(f);
    EXPECT_EQ(f.error().message, "adjusted_fit_total_sum is zero, cannot calculate composite results");
    EXPECT_FALSE(r.grid_insights);
    EXPECT_TRUE(std::isnan(r.core.yhat[0]));
}

TEST(GridFinalisation, ContributionRulesPerAttribute) {
    // Attribute 0 in every combination (B = 0), attribute 1 in none (A = 0),
    // attribute 2 in one of two with twin cells, attribute 3 in one of two.
    const ByteMatrix combos{{1, 0, 1, 0}, {1, 0, 0, 1}};
    GridCompositeAccumulator acc = GridCompositeAccumulator::create(4, 4);
    acc.adjusted_fit_total_sum = 4.0;
    acc.yhat_fit_total = 8.0;
    acc.fit_square_total = 2.0;
    acc.size_fit_total = 8.0;
    acc.n_fit_total = 12.0;
    acc.include_weight_sum = Vector{1.0, 1.0, kNaN, 2.0};
    acc.exclude_weight_sum = Vector{2.0, 2.0, 0.0, 0.0};
    acc.in_fit_sum = Vector{8.0, 0.0, 4.0, 4.0};
    acc.variable_fit_sum = acc.in_fit_sum;
    acc.out_fit_sum = Vector{0.0, 8.0, 4.0, 4.0};
    acc.in_yhat_sum = Vector{16.0, 0.0, 8.0, 6.0};
    acc.out_yhat_sum = Vector{0.0, 16.0, 6.0, 8.0};
    acc.out_yhat_fit_sum = Vector{0.0, 8.0, 3.0, 0.0};
    acc.out_fit_total = Vector{0.0, 4.0, 2.0, 0.0};
    acc.twin_fit_sum = Vector{0.0, 0.0, 1.0, 0.0};
    acc.twin_yhat_sum = Vector{0.0, 0.0, 3.0, 0.0};
    acc.twin_count = {0, 0, 7, 0};
    const Vector y{1.0, 2.0, 3.0, 4.0};
    PredictionResults r = PredictionResults::create(4, 4, 1, Vector{});
    // T = 2, P = 1: A = c x 2, B = (2 - c) x 2.
    auto f = calculate_composite_results(acc, combos, y.view(), r, false, 2, 1);
    ASSERT_TRUE(f) << f.error().message;
    EXPECT_EQ(r.core.yhat[0], 2.0);  // yhat_fit_total / D without missing values
    const Vector& mctc = *r.grid_insights->marginal_contribution_to_conviction;
    const Vector& mctp = *r.grid_insights->marginal_contribution_to_prediction;
    const Vector& cctp = *r.grid_insights->component_contribution_to_prediction;
    EXPECT_EQ(mctc[0], 8.0 / 4.0);
    EXPECT_EQ(mctc[1], -8.0 / 4.0);
    EXPECT_EQ(mctc[2], 4.0 / 2.0 - 1.0 / 2.0);  // the twins replace the cells without it
    EXPECT_EQ(mctc[3], 4.0 / 2.0 - 4.0 / 2.0);
    EXPECT_EQ(mctp[0], 16.0 / 4.0);
    EXPECT_EQ(mctp[1], -16.0 / 4.0);
    EXPECT_EQ(mctp[2], 8.0 / 2.0 - 3.0 / 2.0);
    EXPECT_EQ(cctp[0], 2.0);
    EXPECT_EQ(cctp[1], 2.0 - 2.0);
    EXPECT_EQ(cctp[2], 2.0 - 1.5);
    EXPECT_EQ((*r.grid_insights->variable_weights)[0], 0.5);
    EXPECT_FALSE(r.grid_insights->xi_solo_composite);
    ASSERT_TRUE(r.weights);
    EXPECT_EQ(r.weights->cols(), 1u);
    EXPECT_EQ((*r.weights)(2, 0), 0.0);  // NaN weight becomes 0
    EXPECT_EQ((*r.weights)(3, 0), 0.5);
    EXPECT_EQ(r.core.adjusted_fit[0], 0.5);
    EXPECT_EQ(r.auxiliary->n[0], 3u);
    EXPECT_EQ(r.auxiliary->k[0], 2u);
    EXPECT_EQ(r.insights->weights_concentration->size(), 1u);
    EXPECT_FALSE(r.insights->relevance);
    EXPECT_FALSE(r.solo_distribution);
}

TEST(GridFinalisation, MissingValuesReweightByValidCounts) {
    const ByteMatrix combos{{1, 1}, {1, 0}};
    GridCompositeAccumulator acc = GridCompositeAccumulator::create(3, 2);
    acc.adjusted_fit_total_sum = 2.0;
    acc.yhat_fit_total = 100.0;  // not used while the cells lend weights
    acc.include_weight_sum = Vector{1.0, 1.0, 2.0};
    acc.valid_count = Vector{4.0, 2.0, 0.0};  // C T P = 4
    const Vector y{1.0, 2.0, 3.0};
    PredictionResults r = PredictionResults::create(3, 2, 1, Vector{});
    ASSERT_TRUE(calculate_composite_results(acc, combos, y.view(), r, true, 2, 1));
    // w = [0.5, 1.0, 1.0] (the last keeps factor 1), normalised by 2.5.
    EXPECT_EQ((*r.weights)(0, 0), 0.5 / 2.5);
    EXPECT_EQ((*r.weights)(2, 0), 1.0 / 2.5);
    EXPECT_EQ(r.core.yhat[0], 0.5 / 2.5 * 1.0 + 1.0 / 2.5 * 2.0 + 1.0 / 2.5 * 3.0);

    // No cell lent a weight (every threshold retained at most as many
    // observations as the cell has attributes): the weights would predict 0,
    // the cells' predictions pooled by adjusted fit stand.
    acc.include_weight_sum = Vector{0.0, 0.0, 0.0};
    PredictionResults none = PredictionResults::create(3, 2, 1, Vector{});
    ASSERT_TRUE(calculate_composite_results(acc, combos, y.view(), none, true, 2, 1));
    EXPECT_EQ(none.core.yhat[0], 50.0);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ((*none.weights)(i, 0), 0.0);
}

// ------------------------------------------------------------------ retained cells

TEST(GridCells, StorageShapesPerRetainSetting) {
    const std::vector<CensorType> both{CensorType::Relevance, CensorType::Similarity};
    {
        auto cells = initialize_grid_cell_storage(both, 5, 4, 3, 10, RetainGridObjects::of_keys({GridRetainKey::KCells}));
        ASSERT_TRUE(cells.k_cells);
        EXPECT_EQ((*cells.k_cells)->rows(), 5u);
        EXPECT_EQ((*cells.k_cells)->cols(), 4u);
        EXPECT_FALSE(cells.combi_cells || cells.ysolo_cells || cells.relevance || cells.similarity);
    }
    {
        auto cells = initialize_grid_cell_storage(both, 5, 4, 3, 10, RetainGridObjects::all());
        ASSERT_TRUE(cells.relevance && cells.similarity && cells.k_cells && cells.combi_cells && cells.ysolo_cells);
        EXPECT_EQ((*cells.ysolo_cells)->rows(), 10u);
        EXPECT_EQ((*cells.ysolo_cells)->cols(), 5u);
        EXPECT_EQ((*cells.combi_cells)->cols(), 3u);
        for (const auto* part : {&cells.relevance, &cells.similarity}) {
            const auto& p = **part;
            ASSERT_TRUE(p.yhat_cells && p.adjusted_fit_cells && p.n_cells && p.weights_cells && p.xi_solo_cells);
            EXPECT_EQ(p.weights_cells->dim0(), 10u);
            EXPECT_EQ(p.weights_cells->dim1(), 4u);
            EXPECT_EQ(p.weights_cells->dim2(), 5u);
        }
    }
    {
        const std::vector<CensorType> sim{CensorType::Similarity};
        auto cells = initialize_grid_cell_storage(sim, 2, 1, 3, 4, RetainGridObjects::of_keys({GridRetainKey::YsoloCells}));
        EXPECT_FALSE(cells.relevance);
        ASSERT_TRUE(cells.similarity && cells.ysolo_cells);
        EXPECT_TRUE(cells.similarity->xi_solo_cells);
        EXPECT_FALSE(cells.similarity->yhat_cells);
    }
    const std::vector<CensorType> wrong{CensorType::Both};
    EXPECT_THROW(initialize_grid_cell_storage(wrong, 1, 1, 1, 1, RetainGridObjects::all()), toolbox::Fault);
}

TEST(GridCells, StoreWritesTheCellsRowSliceAndColumn) {
    const std::vector<CensorType> rel{CensorType::Relevance};
    auto cells = initialize_grid_cell_storage(rel, 2, 2, 3, 3, RetainGridObjects::all());
    PredictionResults cell = PredictionResults::create(3, 3, 2, Vector{0.2, 0.5});
    cell.core.yhat = Vector{1.0, 2.0};
    cell.core.adjusted_fit = Vector{kNaN, 2.0};
    cell.weights = Matrix{{1, 2}, {3, 4}, {5, 6}};
    auto& solo = cell.solo_distribution.emplace();
    solo.xi_solo = Matrix{{1, 1}, {2, 2}, {3, 3}};
    solo.y_solo = Vector{7, 8, 9};
    const std::uint8_t row[3] = {1, 0, 1};
    store_grid_cell_details(cells, CensorType::Relevance, 1, cell.core.yhat.view(), cell, row);
    store_grid_cell_details(cells, CensorType::Both, 0, cell.core.yhat.view(), cell, row);
    const auto& p = *cells.relevance;
    EXPECT_EQ((*p.yhat_cells)(1, 1), 2.0);
    EXPECT_EQ((*p.yhat_cells)(0, 1), 0.0);
    EXPECT_TRUE(std::isnan((*p.adjusted_fit_cells)(1, 0)));
    EXPECT_EQ((*p.n_cells)(1, 0), 0.0);  // no auxiliary part: zeros
    EXPECT_EQ((*p.weights_cells)(2, 1, 1), 6.0);
    EXPECT_EQ((*p.xi_solo_cells)(2, 0, 1), 0.0);  // NaN adjusted fit stores 0
    EXPECT_EQ((*p.xi_solo_cells)(2, 1, 1), 6.0);
    EXPECT_EQ((**cells.k_cells)(1, 0), 2.0);
    EXPECT_EQ((**cells.k_cells)(1, 1), 2.0);
    EXPECT_EQ((**cells.k_cells)(0, 0), 0.0);
    EXPECT_EQ((**cells.ysolo_cells)(1, 1), 8.0);
    EXPECT_EQ((**cells.combi_cells)(1, 2), 1.0);

    PredictionResults one = PredictionResults::create(3, 3, 1, Vector{0.5});
    one.core.yhat = Vector{5.0};
    store_grid_cell_details(cells, CensorType::Relevance, 0, one.core.yhat.view(), one, row);
    EXPECT_EQ((*p.yhat_cells)(0, 0), 5.0);  // one value broadcast over the row
    EXPECT_EQ((*p.yhat_cells)(0, 1), 5.0);
    PredictionResults three = PredictionResults::create(3, 3, 3, Vector{0.1, 0.2, 0.3});
    three.core.yhat = Vector{1.0, 2.0, 3.0};
    EXPECT_THROW(store_grid_cell_details(cells, CensorType::Relevance, 0, three.core.yhat.view(), three, row), toolbox::Fault);
}

// ------------------------------------------------------------------ noise twins

TEST(NoiseTwins, EdgeColumnsKeepTheirShape) {
    Matrix x{{1.0, kNaN, 2.0, 1.0, 0.0}, {kNaN, 5.0, 2.0, kInf, 0.0}, {3.0, kNaN, kNaN, 3.0, 0.0}};
    const std::vector<std::uint64_t> holes{0, 1, 2, 3};
    const auto twins = mi::precompute_garbage_columns(x.view(), holes, 42);
    ASSERT_EQ(twins.size(), 5u);
    EXPECT_FALSE(twins[4]);
    // One finite value: the twin holds it, holes unchanged.
    EXPECT_TRUE(std::isnan((*twins[1])[0]));
    EXPECT_EQ((*twins[1])[1], 5.0);
    // No spread: the twin is the column.
    EXPECT_EQ((*twins[2])[0], 2.0);
    EXPECT_EQ((*twins[2])[1], 2.0);
    EXPECT_TRUE(std::isnan((*twins[2])[2]));
    // The infinity stays, is not counted, and draws nothing.
    EXPECT_EQ((*twins[3])[1], kInf);
    EXPECT_NE((*twins[3])[0], 1.0);
    EXPECT_TRUE(std::isnan((*twins[0])[1]));
    // Same pattern of finite values in columns 0 and 3 (rows 0 and 2), same
    // mean and spread, but each column has its own generator.
    EXPECT_NE((*twins[0])[0], (*twins[3])[0]);
}

TEST(NoiseTwins, FirstDrawFollowsTheGenerator) {
    Matrix x{{1.0}, {3.0}, {kNaN}};
    const std::vector<std::uint64_t> holes{0};
    const auto twins = mi::precompute_garbage_columns(x.view(), holes, 0);
    // Seed 0, column 0: G starts at the column multiplier XOR the seed increment.
    std::uint64_t g = 0x94D049BB133111EBull ^ 0xD67411C46C86742Dull;
    auto uniform = [&g] {
        g = g * 0x5851F42D4C957F2Dull + 0x14057B7EF767814Full;
        double u = static_cast<double>((g >> 11) + 1) * 0x1p-53;
        return u >= 1.0 ? 0.9999999999999999 : u;
    };
    const double m = 2.0, s = 1.0;
    double expected[2];
    for (double& e : expected) {
        const double u1 = uniform();
        const double u2 = uniform();
        e = std::cos(6.283185307179586 * u2) * std::sqrt(-2.0 * std::log(u1)) * s + m;
    }
    EXPECT_EQ((*twins[0])[0], expected[0]);
    EXPECT_EQ((*twins[0])[1], expected[1]);
    const auto again = mi::precompute_garbage_columns(x.view(), holes, 0);
    EXPECT_TRUE(same_bits(*again[0], *twins[0]));
    const auto other = mi::precompute_garbage_columns(x.view(), holes, 1);
    EXPECT_NE((*other[0])[0], (*twins[0])[0]);
}

// ------------------------------------------------------------------ runs

Data holes_sample() {
    Data d = sample(60, 4, 11);
    d.x(3, 1) = kNaN;
    d.x(17, 1) = kNaN;
    d.x(8, 3) = kNaN;
    return d;
}

TEST(GridRuns, ModeChoiceBySizeAndSetting) {
    struct Case {
        std::size_t n;
        CensorType censor;
        toolbox::enums::InnerParallel ip;
        bool parallel;
    } cases[] = {
        {4999, CensorType::Relevance, toolbox::enums::InnerParallel::Auto, false},
        {5000, CensorType::Relevance, toolbox::enums::InnerParallel::Auto, true},
        {249, CensorType::Both, toolbox::enums::InnerParallel::Auto, false},
        {250, CensorType::Both, toolbox::enums::InnerParallel::Auto, true},
        {100000, CensorType::Both, toolbox::enums::InnerParallel::Off, false},
    };
    for (const auto& c : cases) {
        GridOptions o;
        o.predict.censor_type = c.censor;
        o.inner_parallel = c.ip;
        EXPECT_EQ(toolbox::qel::models::grid::grid_runs_in_parallel(c.n, o), c.parallel) << c.n;
    }
}

TEST(GridRuns, SequentialAndParallelAgreeAndEachReproduces) {
    const Data d = holes_sample();
    GridOptions o;
    o.retain_grid_objects = RetainGridObjects::of_keys(
        {GridRetainKey::YhatCells, GridRetainKey::AdjustedFitCells, GridRetainKey::NCells, GridRetainKey::KCells,
         GridRetainKey::YsoloCells, GridRetainKey::WeightsCells});
    auto s1 = seq::predict_grid_sequential(d.y.view(), d.x.view(), d.theta.view(), o);
    auto s2 = seq::predict_grid_sequential(d.y.view(), d.x.view(), d.theta.view(), o);
    auto p1 = par::predict_grid_parallel(d.y.view(), d.x.view(), d.theta.view(), o);
    auto p2 = par::predict_grid_parallel(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(s1 && s2 && p1 && p2) << (s1 ? "" : s1.error().message);
    // Each mode reproduces itself bit for bit.
    EXPECT_TRUE(same_bits(s1->core.yhat, s2->core.yhat));
    EXPECT_TRUE(same_bits(*s1->weights, *s2->weights));
    EXPECT_TRUE(same_bits(p1->core.yhat, p2->core.yhat));
    EXPECT_TRUE(same_bits(*p1->weights, *p2->weights));
    EXPECT_TRUE(same_bits(*p1->grid_insights->marginal_contribution_to_conviction,
                          *p2->grid_insights->marginal_contribution_to_conviction));
    // The modes differ at most by summation order in the pooled values, and
    // not at all in the retained cells.
    EXPECT_NEAR(s1->core.yhat[0], p1->core.yhat[0], 1e-12);
    EXPECT_NEAR(s1->core.fit[0], p1->core.fit[0], 1e-12);
    for (std::size_t j = 0; j < 4; ++j) {
        EXPECT_NEAR((*s1->grid_insights->marginal_contribution_to_conviction)[j],
                    (*p1->grid_insights->marginal_contribution_to_conviction)[j], 1e-12);
        EXPECT_NEAR((*s1->grid_insights->marginal_contribution_to_prediction)[j],
                    (*p1->grid_insights->marginal_contribution_to_prediction)[j], 1e-12);
    }
    const auto& a = *s1->grid_cells;
    const auto& b = *p1->grid_cells;
    for (const auto* part : {&a.relevance, &a.similarity}) {
        const auto& other = part == &a.relevance ? b.relevance : b.similarity;
        EXPECT_TRUE(same_bits(*(*part)->yhat_cells, *other->yhat_cells));
        EXPECT_TRUE(same_bits(*(*part)->adjusted_fit_cells, *other->adjusted_fit_cells));
        EXPECT_TRUE(same_bits(*(*part)->n_cells, *other->n_cells));
        EXPECT_EQ(std::memcmp((*part)->xi_solo_cells->data(), other->xi_solo_cells->data(),
                              other->xi_solo_cells->size() * sizeof(double)),
                  0);
        EXPECT_EQ(std::memcmp((*part)->weights_cells->data(), other->weights_cells->data(),
                              other->weights_cells->size() * sizeof(double)),
                  0);
    }
    EXPECT_TRUE(same_bits(**a.k_cells, **b.k_cells));
    EXPECT_TRUE(same_bits(**a.ysolo_cells, **b.ysolo_cells));
    // Retained with the key: the per-cell solo details stay.
    EXPECT_TRUE(a.relevance->xi_solo_cells);
}

TEST(GridRuns, TwinSumsCountEveryPassOfEveryCombinationUsingTheColumn) {
    const Data d = holes_sample();
    GridOptions o;
    auto start = grid_run_prelude(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_TRUE(start);
    ASSERT_TRUE(start->twins);
    EXPECT_TRUE((*start->twins)[1] && (*start->twins)[3]);
    EXPECT_FALSE((*start->twins)[0]);
    const GridRunContext ctx{start->setup,           o, censor_list(CensorType::Both), start->t,
                             std::move(start->twins), start->outcomes, start->column_means};
    const auto jobs = grid_job_list(start->setup, ctx.twins);
    // 15 combinations; 8 use column 1 and 8 use column 3.
    EXPECT_EQ(jobs.size(), 15u + 16u);
    auto acc = par::parallel_fold_jobs(ctx, jobs, nullptr);
    ASSERT_TRUE(acc) << acc.error().message;
    EXPECT_EQ(acc->twin_count, (std::vector<std::uint32_t>{0, 16, 0, 16}));
    EXPECT_NE(acc->twin_fit_sum[1], 0.0);
    EXPECT_EQ(acc->twin_fit_sum[0], 0.0);

    // Switched off: no twins, no twin jobs.
    GridOptions off;
    off.adjust_impact_for_missing = false;
    auto s = grid_run_prelude(d.y.view(), d.x.view(), d.theta.view(), off);
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->twins);
    EXPECT_EQ(grid_job_list(s->setup, s->twins).size(), 15u);
}

TEST(GridRuns, EmptyCombinationsAddNothing) {
    const Data d = sample(40, 3, 12);
    GridOptions with, without;
    with.attribute_combi = list_of({{1, 0, 1}, {0, 0, 0}, {0, 1, 0}});
    without.attribute_combi = list_of({{1, 0, 1}, {0, 1, 0}});
    auto a = seq::predict_grid_sequential(d.y.view(), d.x.view(), d.theta.view(), with);
    auto b = seq::predict_grid_sequential(d.y.view(), d.x.view(), d.theta.view(), without);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(same_bits(a->core.yhat, b->core.yhat));
    EXPECT_TRUE(same_bits(*a->weights, *b->weights));
    EXPECT_TRUE(same_bits(*a->grid_insights->variable_weights, *b->grid_insights->variable_weights));
}

TEST(GridRuns, FirstFailingCombinationInListOrderWins) {
    Data d = sample(40, 3, 13);
    for (std::size_t i = 0; i < 40; ++i) d.x(i, 1) = d.x(i, 0);  // columns 0 and 1 alike: singular together
    GridOptions o;
    o.attribute_combi = list_of({{1, 0, 0}, {1, 1, 0}, {0, 0, 1}, {1, 1, 1}});
    auto p = par::predict_grid_parallel(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error().message, "inv error at q=1: LU decomposition failed.");
    auto s = seq::predict_grid_sequential(d.y.view(), d.x.view(), d.theta.view(), o);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message, "LU decomposition failed.");
}

// A covariance that is not finite fails the run with the pipeline's words,
// wherever it arises: the shared covariance of the setup, one cell's listwise
// covariance, or a noise twin's. Inverted, it gave a meaningless "success";
// by the pseudoinverse, a run that never returned.
TEST(GridRuns, UndefinedCovariancesAreRefusedInSetupCellsAndTwins) {
    auto undefined = [](const std::string& column) {
        return "covariance of X is not finite for " + column +
               " (an infinite or overflowing value, a column with fewer than two observed values, fewer than two "
               "complete rows where only those count, or a single observation)";
    };
    for (int method = 0; method < 3; ++method) {
        const auto inv_method = static_cast<toolbox::enums::InversionMethod>(method);
        const std::string where = "method " + std::to_string(method);
        GridOptions o;
        o.predict.inv_method = inv_method;

        // 1e308 beside ordinary values overflows the full covariance.
        Data huge = sample(8, 2, 21);
        huge.x(3, 0) = 1e308;
        auto setup = prepare_grid_prediction_setup(huge.y.view(), huge.x.view(), huge.theta.view(), o);
        ASSERT_FALSE(setup) << where;
        EXPECT_EQ(setup.error().message, undefined("column 0")) << where;

        // Columns 1 and 2 are never observed together: the cell that uses
        // both has no complete row and a NaN covariance.
        Data apart = sample(300, 3, 22);
        for (std::size_t i = 0; i < 150; ++i) apart.x(i, 1) = kNaN;
        for (std::size_t i = 150; i < 300; ++i) apart.x(i, 2) = kNaN;
        GridOptions cells = o;
        cells.attribute_combi = list_of({{1, 1, 0}, {1, 1, 1}});
        auto s = seq::predict_grid_sequential(apart.y.view(), apart.x.view(), apart.theta.view(), cells);
        ASSERT_FALSE(s) << where;
        EXPECT_EQ(s.error().message, undefined("any column")) << where;
        auto p = par::predict_grid_parallel(apart.y.view(), apart.x.view(), apart.theta.view(), cells);
        ASSERT_FALSE(p) << where;
        EXPECT_EQ(p.error().message, "inv error at q=1: " + undefined("any column")) << where;

        // A twin whose values overflow the listwise covariance of its
        // combination, while the real column's does not.
        const Data d = holes_sample();
        auto start = grid_run_prelude(d.y.view(), d.x.view(), d.theta.view(), o);
        ASSERT_TRUE(start && start->twins) << where;
        NoiseTwins twins = *start->twins;
        (*twins[1])[0] = kInf;
        const GridRunContext broken{start->setup,    o, censor_list(CensorType::Relevance), start->t,
                                    std::move(twins), start->outcomes, start->column_means};
        const GridRunContext real{start->setup, o, censor_list(CensorType::Relevance), start->t,
                                  start->twins, start->outcomes, start->column_means};
        ByteMatrix row(1, 4);
        row(0, 0) = row(0, 1) = 1;
        const ComboSelection sel{{0, 1}, row.row(0), true};
        auto acc = GridCompositeAccumulator::create(60, 4);
        const auto r = mi::accumulate_one_fused_noise_twin(acc, broken, sel, 1);
        ASSERT_FALSE(r) << where;
        // Named by its column of X, not of the combination.
        EXPECT_EQ(r.error().message, "fused noise inv for column 1: " + undefined("column 1")) << where;
        EXPECT_EQ(acc.twin_count[1], 0u) << where;
        // The real twins pass.
        EXPECT_TRUE(mi::accumulate_one_fused_noise_twin(acc, real, sel, 1)) << where;
        EXPECT_EQ(acc.twin_count[1], 1u) << where;
    }
}

}  // namespace
