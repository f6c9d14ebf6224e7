// qel_grid end to end, as a host sees it: the parts of a grid result, the
// retained cells per retain setting, errors, and the record variant.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host_results.hpp"
#include "qelcore.h"

namespace {

using namespace host;

struct Grid {
    QelGridOptions* handle = qel_grid_options_create();
    ~Grid() { qel_grid_options_free(handle); }
};

int32_t run(const Sample& s, const QelGridOptions* opts, Results& out) {
    return qel_grid(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, opts,
                    &out.handle);
}

double first(const QelPredictionResults* r, int32_t (*fn)(const QelPredictionResults*, double*, size_t)) {
    double v = -12345.0;
    EXPECT_EQ(fn(r, &v, 1), 0) << qel_last_error();
    return v;
}

TEST(Grid, CompositeResultHoldsTheGridParts) {
    const Sample s = normal_sample(40, 4, 1);
    Results r;
    ASSERT_EQ(run(s, nullptr, r), 0) << qel_last_error();
    const QelPredictionResults* h = r.handle;
    EXPECT_EQ(qel_results_num_observations(h), 40u);
    EXPECT_EQ(qel_results_num_variables(h), 4u);
    EXPECT_EQ(qel_results_num_thresholds(h), 1u);
    EXPECT_EQ(qel_results_num_combinations(h), 0u);

    struct Presence {
        const char* name;
        int32_t (*fn)(const QelPredictionResults*);
        int32_t expected;
    } parts[] = {
        {"grid_insights", qel_results_has_grid_insights, 1},
        {"weights", qel_results_has_weights, 1},
        {"weights_excluded", qel_results_has_weights_excluded, 1},
        {"auxiliary", qel_results_has_auxiliary, 1},
        {"include", qel_results_has_include, 0},
        {"y_solo", qel_results_has_y_solo, 0},
        {"xi_solo", qel_results_has_xi_solo, 0},
        {"ysolo_distribution", qel_results_has_ysolo_distribution, 0},
        {"grid_cells", qel_results_has_grid_cells, 0},
        {"maxfit_index", qel_results_has_maxfit_index, 0},
        {"yhat_linear", qel_results_has_yhat_linear, 0},
    };
    for (const auto& p : parts) EXPECT_EQ(p.fn(h), p.expected) << p.name;

    size_t d0 = 0, d1 = 0;
    ASSERT_EQ(qel_results_weights_dims(h, &d0, &d1), 0);
    EXPECT_EQ(d0, 40u);
    EXPECT_EQ(d1, 1u);
    std::vector<double> w(40);
    ASSERT_EQ(qel_results_copy_weights(h, w.data(), w.size(), QEL_LAYOUT_ROW_MAJOR), 0);

    EXPECT_TRUE(std::isfinite(first(h, qel_results_copy_yhat)));
    EXPECT_TRUE(std::isfinite(first(h, qel_results_copy_fit)));
    EXPECT_TRUE(std::isfinite(first(h, qel_results_copy_adjusted_fit)));
    EXPECT_TRUE(std::isfinite(first(h, qel_results_copy_aux_rho)));
    EXPECT_GE(first(h, qel_results_copy_aux_k), 1.0);
    EXPECT_TRUE(std::isnan(first(h, qel_results_copy_aux_phi)));
    EXPECT_EQ(copy_vec(h, qel_results_copy_weights_concentration, 1).size(), 1u);

    // Variable weights are normalised; the most informative attribute (the
    // outcome leans on the last one most) carries the most weight.
    const auto v = copy_vec(h, qel_results_copy_variable_weights, 4);
    double sum = 0.0;
    for (double x : v) sum += x;
    EXPECT_NEAR(sum, 1.0, 1e-12);
    for (auto fn : {qel_results_copy_mctc, qel_results_copy_mctp, qel_results_copy_cctp}) {
        for (double x : copy_vec(h, fn, 4)) EXPECT_TRUE(std::isfinite(x));
    }

    double rel[40];
    EXPECT_NE(qel_results_copy_relevance(h, rel, 40), 0);
}

TEST(Grid, NullOptionsAreTheDefaultsOfAFreshHandle) {
    const Sample s = normal_sample(30, 3, 2);
    Results a, b;
    Grid g;
    ASSERT_EQ(run(s, nullptr, a), 0) << qel_last_error();
    ASSERT_EQ(run(s, g.handle, b), 0) << qel_last_error();
    for (auto fn : {qel_results_copy_yhat, qel_results_copy_fit, qel_results_copy_adjusted_fit}) {
        const double x = first(a.handle, fn), y = first(b.handle, fn);
        EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0);
    }
}

TEST(Grid, RetainedCellsFollowTheRetainSetting) {
    const Sample s = normal_sample(30, 3, 3);  // 7 combinations, 4 thresholds, both censor types
    struct Case {
        const char* retain;
        int grid_cells, k_cells, combi_cells, ysolo_cells, yhat_cells, xi_cells, weights_cells, histogram;
    } cases[] = {
        {"none", 0, 0, 0, 0, 0, 0, 0, 0},
        {"[]", 0, 0, 0, 0, 0, 0, 0, 0},
        {"[k_cells]", 1, 1, 0, 0, 0, 0, 0, 0},
        {"[yhat_cells, combi_cells]", 1, 0, 1, 0, 1, 0, 0, 0},
        {"[ysolo_cells]", 1, 0, 0, 1, 0, 1, 0, 1},
        {"[ysolo_distribution]", 1, 0, 0, 0, 0, 0, 0, 1},
        {"[weights_cells]", 1, 0, 0, 0, 0, 0, 1, 0},
        {"all", 1, 1, 1, 0, 1, 0, 1, 1},
    };
    for (const auto& c : cases) {
        Grid g;
        ASSERT_EQ(qel_grid_options_set_retain_grid_objects_str(g.handle, c.retain), 0) << c.retain;
        Results r;
        ASSERT_EQ(run(s, g.handle, r), 0) << c.retain << ": " << qel_last_error();
        const QelPredictionResults* h = r.handle;
        EXPECT_EQ(qel_results_has_grid_cells(h), c.grid_cells) << c.retain;
        EXPECT_EQ(qel_results_has_k_cells(h), c.k_cells) << c.retain;
        EXPECT_EQ(qel_results_has_combi_cells(h), c.combi_cells) << c.retain;
        EXPECT_EQ(qel_results_has_ysolo_cells(h), c.ysolo_cells) << c.retain;
        EXPECT_EQ(qel_results_has_ysolo_distribution(h), c.histogram) << c.retain;
        for (int32_t censor : {0, 1}) {
            EXPECT_EQ(qel_results_has_yhat_cells(h, censor), c.yhat_cells) << c.retain;
            EXPECT_EQ(qel_results_has_xi_solo_cells(h, censor), c.xi_cells) << c.retain;
            EXPECT_EQ(qel_results_has_weights_cells(h, censor), c.weights_cells) << c.retain;
        }
        EXPECT_EQ(qel_results_num_combinations(h), c.grid_cells && (c.k_cells || c.combi_cells || c.ysolo_cells ||
                                                                     c.yhat_cells)
                                                       ? 7u
                                                       : 0u)
            << c.retain;
    }
}

TEST(Grid, RetainedCellValuesAndTheirShapes) {
    const Sample s = normal_sample(30, 3, 4);
    Grid g;
    ASSERT_EQ(qel_grid_options_set_retain_all(g.handle, 1), 0);
    Results r;
    ASSERT_EQ(run(s, g.handle, r), 0) << qel_last_error();
    const QelPredictionResults* h = r.handle;
    size_t d0 = 0, d1 = 0, d2 = 0;
    ASSERT_EQ(qel_results_k_cells_dims(h, &d0, &d1), 0);
    EXPECT_EQ(d0, 7u);
    EXPECT_EQ(d1, 4u);
    std::vector<double> k(28), combi(21);
    ASSERT_EQ(qel_results_copy_k_cells(h, k.data(), k.size(), QEL_LAYOUT_ROW_MAJOR), 0);
    ASSERT_EQ(qel_results_copy_combi_cells(h, combi.data(), combi.size(), QEL_LAYOUT_ROW_MAJOR), 0);
    // All seven combinations of three attributes, by size.
    const double sizes[7] = {1, 1, 1, 2, 2, 2, 3};
    for (size_t j = 0; j < 7; ++j) {
        double used = combi[j * 3] + combi[j * 3 + 1] + combi[j * 3 + 2];
        EXPECT_EQ(used, sizes[j]);
        for (size_t t = 0; t < 4; ++t) EXPECT_EQ(k[j * 4 + t], sizes[j]);
    }
    ASSERT_EQ(qel_results_weights_cells_dims(h, 1, &d0, &d1, &d2), 0);
    EXPECT_EQ(d0, 30u);
    EXPECT_EQ(d1, 4u);
    EXPECT_EQ(d2, 7u);
    std::vector<double> yc(28);
    ASSERT_EQ(qel_results_copy_yhat_cells(h, 0, yc.data(), yc.size(), QEL_LAYOUT_ROW_MAJOR), 0);
    for (double v : yc) EXPECT_TRUE(std::isfinite(v));
    // The histogram of the pooled solo predictions stays; the cells it was
    // built from do not.
    EXPECT_EQ(qel_results_has_ysolo_distribution(h), 1);
    EXPECT_EQ(qel_results_has_ysolo_cells(h), 0);
    for (double v : copy_vec(h, qel_results_copy_xi_solo_composite, 30)) EXPECT_TRUE(std::isfinite(v));
    EXPECT_GE(first(h, qel_results_copy_ysolo_sigma), 0.0);
}

TEST(Grid, LogisticScaleMapsTheCompositeAndThePooledCells) {
    Sample s = normal_sample(40, 3, 11);
    for (double& v : s.y) v = v > 0.0 ? 1.0 : 0.0;
    for (int32_t scale : {0, 1}) {
        Grid g;
        ASSERT_EQ(qel_grid_options_set_prediction_scale(g.handle, scale), 0);
        ASSERT_EQ(qel_grid_options_set_retain_grid_objects_str(g.handle, "[ysolo_cells]"), 0);
        Results r;
        ASSERT_EQ(run(s, g.handle, r), 0) << qel_last_error();
        const QelPredictionResults* h = r.handle;
        EXPECT_EQ(qel_results_has_ysolo_cells(h), 1);
        double skew = 0.0;
        if (scale == 1) {
            const double p = first(h, qel_results_copy_yhat);
            EXPECT_GT(p, 0.0);
            EXPECT_LT(p, 1.0);
            EXPECT_TRUE(std::isfinite(first(h, qel_results_copy_ysolo_skewness)));
            std::vector<double> cells(40 * 7);
            ASSERT_EQ(qel_results_copy_ysolo_cells(h, cells.data(), cells.size(), QEL_LAYOUT_ROW_MAJOR), 0);
            for (double v : cells) {
                EXPECT_GE(v, 0.0);
                EXPECT_LE(v, 1.0);
            }
        } else {
            // The response scale writes only the spread of the pooled cells.
            EXPECT_NE(qel_results_copy_ysolo_skewness(h, &skew, 1), 0);
            EXPECT_GE(first(h, qel_results_copy_ysolo_sigma), 0.0);
        }
    }
}

TEST(Grid, LinearRegressionOnAllAttributes) {
    const Sample s = normal_sample(30, 3, 5);
    Grid g;
    ASSERT_EQ(qel_grid_options_set_include_linear_regression(g.handle, 1), 0);
    Results r;
    ASSERT_EQ(run(s, g.handle, r), 0) << qel_last_error();
    EXPECT_EQ(qel_results_has_yhat_linear(r.handle), 1);
    EXPECT_TRUE(std::isfinite(first(r.handle, qel_results_copy_yhat_linear)));
}

TEST(Grid, MissingValuesRunWithTheirTwins) {
    Sample s = normal_sample(40, 4, 6);
    s.x[3 * 4 + 1] = kNaN;
    s.x[9 * 4 + 1] = kNaN;
    s.x[5 * 4 + 3] = kNaN;
    Results r;
    ASSERT_EQ(run(s, nullptr, r), 0) << qel_last_error();
    EXPECT_TRUE(std::isfinite(first(r.handle, qel_results_copy_yhat)));
    double sum = 0.0;
    for (double w : [&] {
             std::vector<double> w(40);
             EXPECT_EQ(qel_results_copy_weights(r.handle, w.data(), w.size(), QEL_LAYOUT_ROW_MAJOR), 0);
             return w;
         }()) {
        sum += w;
    }
    EXPECT_NEAR(sum, 1.0, 1e-12);  // re-weighted for missing values and normalised
}

TEST(Grid, ErrorsComeBackAsStatusFiveWithTheirText) {
    {
        // 65 columns with a missing value each: too many for the cache.
        Sample s = normal_sample(70, 65, 7);
        for (size_t j = 0; j < 65; ++j) s.x[j * 65 + j] = kNaN;
        Grid g;
        const double combi[65 * 1] = {1};
        ASSERT_EQ(qel_grid_options_set_attribute_combi(g.handle, combi, 1, 65, QEL_LAYOUT_ROW_MAJOR), 0);
        Results r;
        EXPECT_EQ(run(s, g.handle, r), 5);
        EXPECT_STREQ(qel_last_error(), "Grid listwise covariance cache supports at most 64 columns with missing values");
        EXPECT_EQ(r.handle, nullptr);
    }
    {
        // Only empty combinations: nothing to pool.
        const Sample s = normal_sample(20, 3, 8);
        Grid g;
        const double combi[3] = {0, 0, 0};
        ASSERT_EQ(qel_grid_options_set_attribute_combi(g.handle, combi, 1, 3, QEL_LAYOUT_ROW_MAJOR), 0);
        Results r;
        EXPECT_EQ(run(s, g.handle, r), 5);
        EXPECT_STREQ(qel_last_error(), "adjusted_fit_total_sum is zero, cannot calculate composite results");
    }
    {
        const Sample s = normal_sample(20, 3, 8);
        Grid g;
        const double combi[4] = {1, 0, 1, 1};
        ASSERT_EQ(qel_grid_options_set_attribute_combi(g.handle, combi, 2, 2, QEL_LAYOUT_ROW_MAJOR), 0);
        Results r;
        EXPECT_EQ(run(s, g.handle, r), 5);
        EXPECT_STREQ(qel_last_error(), "attribute_combi has 2 columns but X has 3 attributes");
    }
    {
        Results r;
        EXPECT_EQ(qel_grid(nullptr, 0, nullptr, 0, 0, 0, nullptr, 0, nullptr, nullptr), 1);
        EXPECT_STREQ(qel_last_error(), "out_results is null");
    }
}

TEST(Grid, RecordVariantPassesItsSlots) {
    EXPECT_EQ(qel_grid_call(nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "args is null");
    const Sample s = normal_sample(25, 3, 9);
    Grid g;
    Results direct, viacall;
    ASSERT_EQ(run(s, g.handle, direct), 0);
    QelModelCallArgs args{s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k,
                          g.handle, &viacall.handle};
    ASSERT_EQ(qel_grid_call(&args), 0) << qel_last_error();
    const double a = first(direct.handle, qel_results_copy_yhat), b = first(viacall.handle, qel_results_copy_yhat);
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    args.theta_len = 2;
    Results bad;
    args.out_results = &bad.handle;
    EXPECT_EQ(qel_grid_call(&args), 2);
}

TEST(Grid, VerboseLineNamesModeCensorAndSize) {
    const Sample s = normal_sample(300, 2, 10);
    Grid g;
    ASSERT_EQ(qel_grid_options_set_verbose(g.handle, 1), 0);
    ASSERT_EQ(qel_grid_options_set_max_iter(g.handle, 3), 0);
    testing::internal::CaptureStdout();
    Results r;
    ASSERT_EQ(run(s, g.handle, r), 0) << qel_last_error();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Using parallel execution for grid prediction (Both censor, 300 observations)\n");
    ASSERT_EQ(qel_grid_options_set_inner_parallel(g.handle, QEL_INNER_PARALLEL_OFF), 0);
    ASSERT_EQ(qel_grid_options_set_censor_type(g.handle, QEL_CENSOR_RELEVANCE), 0);
    testing::internal::CaptureStdout();
    Results r2;
    ASSERT_EQ(run(s, g.handle, r2), 0) << qel_last_error();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Using sequential execution for grid prediction (Relevance censor, 300 observations)\n");
}

}  // namespace
