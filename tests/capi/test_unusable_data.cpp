// Data the model calls cannot use, through every model call: each call either
// gives a sound result or refuses, promptly, with status 5, a message that
// names the cause, the position and the remedy, and no results. Before, these
// samples gave status 0 with numbers that meant nothing (a prediction of 0 or
// NaN, a fit of 0, predictions of 71 for outcomes between 7 and 37), and the
// pseudoinverse never returned on an overflowing covariance.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "../support/returns.hpp"
#include "host_results.hpp"
#include "qelcore.h"

namespace {

using namespace host;

const double kInf = std::numeric_limits<double>::infinity();

// The exports of one model call and its handle kind.
template <class Handle>
struct ModelApi {
    const char* name;
    Handle* (*create)();
    int32_t (*set_inv_method)(Handle*, int32_t);
    int32_t (*set_prediction_scale)(Handle*, int32_t);
    int32_t (*set_threshold)(Handle*, const double*, size_t);
    int32_t (*set_censor_operator)(Handle*, int32_t);
    int32_t (*call)(const double*, size_t, const double*, size_t, size_t, int32_t, const double*, size_t,
                    const Handle*, QelPredictionResults**);
    void (*free)(Handle*);
};

const ModelApi<QelPredictOptions> kPredict{"qel_predict",
                                           qel_predict_options_create,
                                           qel_predict_options_set_inv_method,
                                           qel_predict_options_set_prediction_scale,
                                           qel_predict_options_set_threshold,
                                           qel_predict_options_set_censor_operator,
                                           qel_predict,
                                           qel_predict_options_free};
const ModelApi<QelMaxFitOptions> kMaxFit{"qel_maxfit",
                                         qel_maxfit_options_create,
                                         qel_maxfit_options_set_inv_method,
                                         qel_maxfit_options_set_prediction_scale,
                                         qel_maxfit_options_set_threshold,
                                         qel_maxfit_options_set_censor_operator,
                                         qel_maxfit,
                                         qel_maxfit_options_free};
const ModelApi<QelGridOptions> kGrid{"qel_grid",
                                     qel_grid_options_create,
                                     qel_grid_options_set_inv_method,
                                     qel_grid_options_set_prediction_scale,
                                     qel_grid_options_set_threshold,
                                     qel_grid_options_set_censor_operator,
                                     qel_grid,
                                     qel_grid_options_free};

// The missing-moments setting of a predict or max-fit handle; a grid has none.
void set_missing_moments(QelPredictOptions* o, int32_t code) {
    EXPECT_EQ(qel_predict_options_set_missing_moments(o, code), 0);
}
void set_missing_moments(QelMaxFitOptions* o, int32_t code) {
    EXPECT_EQ(qel_maxfit_options_set_missing_moments(o, code), 0);
}
void set_missing_moments(QelGridOptions*, int32_t) {}

struct Settings {
    int32_t inv_method = QEL_INV_GAUSSIAN;
    int32_t scale = QEL_SCALE_RESPONSE;
    int32_t missing_moments = QEL_MISSING_PAIRWISE;  // predict and max-fit handles
};

struct Outcome {
    int32_t status = -1;
    std::string message;
    bool out_cleared = false;  // the caller's variable is NULL after a failure
    std::optional<double> yhat;
};

// One call with default options but `settings`, on a worker thread with a
// limit; the caller's results variable holds an old, bad value on entry.
template <class Handle>
Outcome run(const ModelApi<Handle>& api, const Sample& s, const Settings& settings) {
    return test_support::returns(api.name, [&] {
        Handle* opts = api.create();
        EXPECT_EQ(api.set_inv_method(opts, settings.inv_method), 0);
        EXPECT_EQ(api.set_prediction_scale(opts, settings.scale), 0);
        set_missing_moments(opts, settings.missing_moments);
        QelPredictionResults* out = reinterpret_cast<QelPredictionResults*>(&opts);
        Outcome o;
        o.status = api.call(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, opts,
                            &out);
        o.message = qel_last_error();
        o.out_cleared = out == nullptr;
        if (o.status == 0 && out != nullptr) {
            double v = 0.0;
            EXPECT_EQ(qel_results_copy_yhat(out, &v, 1), 0);
            o.yhat = v;
            qel_prediction_results_free(out);
        }
        api.free(opts);
        return o;
    });
}

// An expected message; one '*' stands for a number the estimate decides.
bool matches(const std::string& pattern, const std::string& text) {
    const auto star = pattern.find('*');
    if (star == std::string::npos) return pattern == text;
    const std::string head = pattern.substr(0, star), tail = pattern.substr(star + 1);
    return text.size() >= head.size() + tail.size() && text.compare(0, head.size(), head) == 0 &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// What one call must give: 0 (with the yhat check, when any), or 5 and the
// message.
struct Expect {
    int32_t status = 0;
    std::string message;
    enum class Yhat { Any, Finite, NaN } yhat = Yhat::Any;
};

const Expect kRuns{0, "", Expect::Yhat::Finite};

// The sample: 20 rows, three attributes given to two decimals, as
// real data is, and whole outcomes from 7 to 37.
Sample base_sample() {
    Sample s = test_support::linear_sample(20, 3, 3);
    for (double& v : s.x) v = std::round(v * 100.0) / 100.0;
    double lo = s.y[0], hi = s.y[0];
    for (double v : s.y) lo = std::min(lo, v), hi = std::max(hi, v);
    for (double& v : s.y) v = 7.0 + std::round(30.0 * (v - lo) / (hi - lo));
    return s;
}

template <class Edit>
Sample edited(Edit edit) {
    Sample s = base_sample();
    edit(s);
    return s;
}

std::string theta_refused(int j, const char* value) {
    return "theta[" + std::to_string(j) + "] is " + value +
           ": a prediction needs a value for every target attribute (drop attribute " + std::to_string(j) +
           " from X and theta, or use a grid run, whose cells without it still predict)";
}

std::string y_refused(int i, const char* value) {
    return "y[" + std::to_string(i) + "] is " + value + ": every outcome must be a finite number (drop row " +
           std::to_string(i) + " from y and X)";
}

std::string covariance_refused(const std::string& column) {
    return "covariance of X is not finite for " + column +
           " (an infinite or overflowing value, a column with fewer than two observed values, fewer than two complete "
           "rows where only those count, or a single observation)";
}

const std::string kNumericallySingular =
    "Matrix is numerically singular (reciprocal condition number *, below machine epsilon): an attribute is likely a "
    "linear combination of others, or without spread; drop it, or use the pseudoinverse.";
const std::string kNoFiniteScore =
    "no observation has a finite relevance score: every distance to the target overflows or meets a missing value "
    "(check the scale of theta and X, or drop the attributes with missing values)";
const std::string kOneRelevance =
    "only one observation has a relevance: every other row misses a value, and the weights need at least two (drop "
    "the attributes with missing values)";
const std::string kConstant =
    "column 1 of X has no spread (every observed value is 0.1): drop it, or use the pseudoinverse";
// Max-fit's default censor types run on the pool, whose errors name the step.
const std::string kSetup = "Setup error: ";
const std::string kPass = "Parallel execution error: Execution error: ";

TEST(UnusableData, EveryModelCallRefusesWhatItCannotUseOrGivesASoundResult) {
    const Sample base = base_sample();
    const std::string logistic_refused =
        "y[0] is " + std::to_string(static_cast<long long>(base.y[0])) +
        ": the logistic scale needs outcomes between 0 and 1 (give 0/1 outcomes, or use the response scale)";
    struct Case {
        const char* name;
        Sample sample;
        Settings settings;
        Expect predict, maxfit, grid;
    } cases[] = {
        {"theta with a NaN", edited([](Sample& s) { s.theta[1] = kNaN; }), {},
         {5, theta_refused(1, "NaN")}, {5, kSetup + theta_refused(1, "NaN")},
         // Cells without attribute 1 still predict: see the test below.
         kRuns},
        {"theta with an infinity", edited([](Sample& s) { s.theta[2] = -kInf; }), {},
         {5, theta_refused(2, "-inf")}, {5, kSetup + theta_refused(2, "-inf")}, kRuns},
        {"theta times 1e300: no finite censor score", edited([](Sample& s) {
             for (double& v : s.theta) v *= 1e300;
         }),
         {}, {5, kNoFiniteScore}, {5, kPass + kNoFiniteScore},
         {5, "adjusted_fit_total_sum is zero, cannot calculate composite results"}},
        {"every row missing a value", edited([](Sample& s) {
             for (size_t i = 0; i < s.n; ++i) s.x[i * 3 + i % 3] = kNaN;
         }),
         {}, {5, kNoFiniteScore}, {5, kPass + kNoFiniteScore},
         // No cell that uses two attributes has a complete row.
         {5, covariance_refused("any column")}},
        // Pairwise moments leave a covariance; the weights need two rows.
        {"one complete row, the others missing a value", edited([](Sample& s) {
             for (size_t i = 1; i < s.n; ++i) s.x[i * 3 + i % 3] = kNaN;
         }),
         {}, {5, kOneRelevance}, {5, kPass + kOneRelevance}, {5, covariance_refused("any column")}},
        {"theta without a finite value", edited([](Sample& s) { s.theta = {kNaN, kInf, kNaN}; }), {},
         {5, theta_refused(0, "NaN")}, {5, kSetup + theta_refused(0, "NaN")},
         {5, "theta has no finite value: every cell of a grid run would use a missing target attribute (give the "
             "target a value for at least one attribute)"}},
        {"y with a NaN", edited([](Sample& s) { s.y[4] = kNaN; }), {},
         {5, y_refused(4, "NaN")}, {5, kSetup + y_refused(4, "NaN")}, {5, y_refused(4, "NaN")}},
        {"y with an infinity", edited([](Sample& s) { s.y[7] = kInf; }), {},
         {5, y_refused(7, "inf")}, {5, kSetup + y_refused(7, "inf")}, {5, y_refused(7, "inf")}},
        {"third column the sum of the others, LU",
         edited([](Sample& s) {
             for (size_t i = 0; i < s.n; ++i) s.x[i * 3 + 2] = s.x[i * 3] + s.x[i * 3 + 1];
         }),
         {.inv_method = QEL_INV_GAUSSIAN}, {5, kNumericallySingular}, {5, kSetup + kNumericallySingular},
         {5, kNumericallySingular}},
        {"third column the sum of the others, Cholesky",
         edited([](Sample& s) {
             for (size_t i = 0; i < s.n; ++i) s.x[i * 3 + 2] = s.x[i * 3] + s.x[i * 3 + 1];
         }),
         {.inv_method = QEL_INV_CHOLESKY}, {5, kNumericallySingular}, {5, kSetup + kNumericallySingular},
         {5, kNumericallySingular}},
        {"third column the sum of the others, pseudoinverse",
         edited([](Sample& s) {
             for (size_t i = 0; i < s.n; ++i) s.x[i * 3 + 2] = s.x[i * 3] + s.x[i * 3 + 1];
         }),
         {.inv_method = QEL_INV_PSEUDOINVERSE}, kRuns, kRuns, kRuns},
        {"a missing value in X, pairwise moments", edited([](Sample& s) { s.x[3 * 5 + 1] = kNaN; }),
         {.missing_moments = QEL_MISSING_PAIRWISE}, kRuns, kRuns, kRuns},
        {"a missing value in X, complete rows", edited([](Sample& s) { s.x[3 * 5 + 1] = kNaN; }),
         {.missing_moments = QEL_MISSING_COMPLETE}, kRuns, kRuns, kRuns},
        // Rounding leaves 0.1 repeated a variance of about 1e-34, which LU
        // inverted into a weight in every distance.
        {"a constant column, LU", edited([](Sample& s) {
             for (size_t i = 0; i < s.n; ++i) s.x[i * 3 + 1] = 0.1;
         }),
         {}, {5, kConstant}, {5, kSetup + kConstant}, {5, kConstant}},
        {"a constant column, Cholesky", edited([](Sample& s) {
             for (size_t i = 0; i < s.n; ++i) s.x[i * 3 + 1] = 0.1;
         }),
         {.inv_method = QEL_INV_CHOLESKY}, {5, kConstant}, {5, kSetup + kConstant}, {5, kConstant}},
        {"a constant column, pseudoinverse", edited([](Sample& s) {
             for (size_t i = 0; i < s.n; ++i) s.x[i * 3 + 1] = 0.1;
         }),
         {.inv_method = QEL_INV_PSEUDOINVERSE}, kRuns, kRuns, kRuns},
        {"logistic scale, y from 7 to 37", base, {.scale = QEL_SCALE_LOGISTIC},
         {5, logistic_refused}, {5, kSetup + logistic_refused}, {5, logistic_refused}},
        {"logistic scale, y all 0", edited([](Sample& s) { s.y.assign(s.n, 0.0); }), {.scale = QEL_SCALE_LOGISTIC},
         // Outcomes without spread fit nothing, so no grid cell has a weight.
         {0, "", Expect::Yhat::NaN}, {0, "", Expect::Yhat::NaN},
         {5, "adjusted_fit_total_sum is zero, cannot calculate composite results"}},
        {"an infinity in X", edited([](Sample& s) { s.x[3 * 2 + 1] = kInf; }), {},
         {5, covariance_refused("column 1")}, {5, kSetup + covariance_refused("column 1")},
         {5, covariance_refused("column 1")}},
        {"X times 1e200", edited([](Sample& s) {
             for (double& v : s.x) v *= 1e200;
         }),
         {}, {5, covariance_refused("any column")}, {5, kSetup + covariance_refused("any column")},
         {5, covariance_refused("any column")}},
        {"a column without a value", edited([](Sample& s) {
             for (size_t i = 0; i < s.n; ++i) s.x[i * 3 + 1] = kNaN;
         }),
         {}, {5, covariance_refused("column 1")}, {5, kSetup + covariance_refused("column 1")},
         // The grid's cells with that column have no complete row at all.
         {5, covariance_refused("any column")}},
    };
    for (const Case& c : cases) {
        const Outcome got[] = {run(kPredict, c.sample, c.settings), run(kMaxFit, c.sample, c.settings),
                               run(kGrid, c.sample, c.settings)};
        const Expect* want[] = {&c.predict, &c.maxfit, &c.grid};
        const char* names[] = {kPredict.name, kMaxFit.name, kGrid.name};
        for (int m = 0; m < 3; ++m) {
            const std::string where = std::string(c.name) + ", " + names[m];
            EXPECT_EQ(got[m].status, want[m]->status) << where << ": " << got[m].message;
            EXPECT_TRUE(matches(want[m]->message, got[m].message)) << where << ": " << got[m].message;
            if (got[m].status != 0) {
                EXPECT_TRUE(got[m].out_cleared) << where << ": a results handle on failure";
                continue;
            }
            ASSERT_TRUE(got[m].yhat) << where;
            if (want[m]->yhat == Expect::Yhat::Finite) {
                EXPECT_TRUE(std::isfinite(*got[m].yhat)) << where;
            } else if (want[m]->yhat == Expect::Yhat::NaN) {
                EXPECT_TRUE(std::isnan(*got[m].yhat)) << where;
            }
        }
    }
}

// A grid run with a partly missing target: the cells that use the missing
// attribute retain nothing and weigh nothing, so the composite is that of the
// cells without it, bit for bit.
TEST(UnusableData, GridWithAPartlyMissingTargetPoolsTheCellsThatCanPredict) {
    Sample s = base_sample();
    s.theta[1] = kNaN;
    auto grid = [&](const std::vector<double>* combinations, std::vector<double>* used) {
        QelGridOptions* opts = qel_grid_options_create();
        EXPECT_EQ(qel_grid_options_set_retain_grid_objects_str(opts, "combi_cells"), 0);
        if (combinations) {
            EXPECT_EQ(qel_grid_options_set_attribute_combi(opts, combinations->data(), combinations->size() / s.k,
                                                           s.k, QEL_LAYOUT_ROW_MAJOR),
                      0);
        }
        Results r;
        EXPECT_EQ(qel_grid(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, opts,
                           &r.handle),
                  0)
            << qel_last_error();
        qel_grid_options_free(opts);
        std::vector<double> out;
        if (r.handle == nullptr) return out;
        if (used) {
            size_t rows = 0, cols = 0;
            EXPECT_EQ(qel_results_combi_cells_dims(r.handle, &rows, &cols), 0);
            used->assign(rows * cols, 0.0);
            EXPECT_EQ(qel_results_copy_combi_cells(r.handle, used->data(), used->size(), QEL_LAYOUT_ROW_MAJOR), 0);
        }
        for (CopyFn part : {qel_results_copy_yhat, qel_results_copy_fit, qel_results_copy_adjusted_fit}) {
            out.push_back(copy_vec(r.handle, part, 1)[0]);
        }
        return out;
    };
    std::vector<double> all;
    const std::vector<double> every_cell = grid(nullptr, &all);
    ASSERT_EQ(every_cell.size(), 3u);
    EXPECT_TRUE(std::isfinite(every_cell[0])) << every_cell[0];

    // The same combinations in the same order, without those using attribute 1.
    std::vector<double> without;
    for (size_t r = 0; r * s.k < all.size(); ++r) {
        if (all[r * s.k + 1] != 0.0) continue;
        without.insert(without.end(), all.begin() + static_cast<long>(r * s.k),
                       all.begin() + static_cast<long>((r + 1) * s.k));
    }
    ASSERT_FALSE(without.empty());
    ASSERT_LT(without.size(), all.size());
    EXPECT_TRUE(same_bits(grid(&without, nullptr), every_cell));
}

// Rows with a missing attribute have no relevance. They take no part in the
// weights, so the weights of the others sum to 1 at every threshold and a
// prediction moves with the outcomes: yhat(y + c) = yhat(y) + c. Before, under
// pairwise moments the weights summed to the share of complete rows (this
// sample shifted by 1000 predicted 953.0 at the default threshold, against
// 1016.1 without the missing values), and a threshold that retains one
// observation gave every row 1/N, so the weights summed to more than 1 under
// complete rows.
TEST(UnusableData, PredictionsMoveWithTheOutcomesWhateverIsMissing) {
    Sample s = base_sample();
    for (size_t i : {2u, 7u, 11u, 16u}) s.x[i * 3 + i % 3] = kNaN;
    Sample shifted = s;
    const double c = 1000.0;
    for (double& v : shifted.y) v += c;

    struct Censor {
        const char* name;
        int32_t op;
        double t;
    } censors[] = {
        {"many retained", QEL_CENSOR_GTE, 0.3},
        {"one retained", QEL_CENSOR_GTE, 1.0},
        {"none retained", QEL_CENSOR_GT, 1.0},
    };
    // yhat of every call at one threshold; for the grid the composite, then
    // every retained cell of both censor types.
    auto predictions = []<class Handle>(const ModelApi<Handle>& api, const Sample& d, const Censor& censor,
                                        int32_t moments, const char* retain) -> std::vector<double> {
        Handle* o = api.create();
        EXPECT_EQ(api.set_threshold(o, &censor.t, 1), 0);
        EXPECT_EQ(api.set_censor_operator(o, censor.op), 0);
        set_missing_moments(o, moments);
        constexpr bool grid = std::is_same_v<Handle, QelGridOptions>;
        if constexpr (grid) {
            EXPECT_EQ(qel_grid_options_set_retain_grid_objects_str(o, retain), 0);
        }
        Results r;
        const int32_t status =
            api.call(d.y.data(), d.n, d.x.data(), d.n, d.k, QEL_LAYOUT_ROW_MAJOR, d.theta.data(), d.k, o, &r.handle);
        api.free(o);
        EXPECT_EQ(status, 0) << qel_last_error();
        if (status != 0) return {};
        std::vector<double> out = copy_vec(r.handle, qel_results_copy_yhat, 1);
        if constexpr (grid) {
            for (int32_t censor_code : {0, 1}) {
                size_t cells = 0, t = 0;
                EXPECT_EQ(qel_results_yhat_cells_dims(r.handle, censor_code, &cells, &t), 0);
                std::vector<double> v(cells * t);
                EXPECT_EQ(qel_results_copy_yhat_cells(r.handle, censor_code, v.data(), v.size(),
                                                      QEL_LAYOUT_ROW_MAJOR),
                          0);
                out.insert(out.end(), v.begin(), v.end());
            }
        }
        return out;
    };
    auto check = [&]<class Handle>(const ModelApi<Handle>& api, const Censor& censor, int32_t moments) {
        const std::string where = std::string(api.name) + ", " + censor.name +
                                  (moments == QEL_MISSING_PAIRWISE ? ", pairwise" : ", complete rows");
        const std::vector<double> base = predictions(api, s, censor, moments, "yhat_cells");
        const std::vector<double> moved = predictions(api, shifted, censor, moments, "yhat_cells");
        ASSERT_FALSE(base.empty()) << where;
        ASSERT_EQ(base.size(), moved.size()) << where;
        for (size_t j = 0; j < base.size(); ++j) {
            EXPECT_TRUE(std::isfinite(base[j])) << where << ", value " << j;
            EXPECT_NEAR(moved[j] - base[j], c, 1e-9) << where << ", value " << j;
        }
        // A grid's cells weigh on the streamed path, or with their weights
        // retained on the materialised one: the same bits.
        if constexpr (std::is_same_v<Handle, QelGridOptions>) {
            EXPECT_TRUE(same_bits(predictions(api, s, censor, moments, "yhat_cells, weights_cells"), base)) << where;
        }
    };
    for (const Censor& censor : censors) {
        for (int32_t moments : {QEL_MISSING_PAIRWISE, QEL_MISSING_COMPLETE}) {
            check(kPredict, censor, moments);
            check(kMaxFit, censor, moments);
        }
        // A grid has no missing-moments setting.
        check(kGrid, censor, QEL_MISSING_PAIRWISE);
    }
}

// Longley's employment series, 1947 to 1962: TOTEMP, then GNPDEFL, GNP, UNEMP,
// ARMED, POP and YEAR. The first fifteen years are the sample, the last the
// target; its attributes are so close to collinear that two missing values
// leave a pairwise covariance that is not positive semi-definite.
Sample longley_with_two_missing_values() {
    const double table[16][7] = {
        {60323, 83, 234289, 2356, 1590, 107608, 1947},
        {61122, 88.5, 259426, 2325, 1456, 108632, 1948},
        {60171, 88.2, 258054, 3682, 1616, 109773, 1949},
        {61187, 89.5, 284599, 3351, 1650, 110929, 1950},
        {63221, 96.2, 328975, 2099, 3099, 112075, 1951},
        {63639, 98.1, 346999, 1932, 3594, 113270, 1952},
        {64989, 99, 365385, 1870, 3547, 115094, 1953},
        {63761, 100, 363112, 3578, 3350, 116219, 1954},
        {66019, 101.2, 397469, 2904, 3048, 117388, 1955},
        {67857, 104.6, 419180, 2822, 2857, 118734, 1956},
        {68169, 108.4, 442769, 2936, 2798, 120445, 1957},
        {66513, 110.8, 444546, 4681, 2637, 121950, 1958},
        {68655, 112.6, 482704, 3813, 2552, 123366, 1959},
        {69564, 114.2, 502601, 3931, 2514, 125368, 1960},
        {69331, 115.7, 518173, 4806, 2572, 127852, 1961},
        {70551, 116.9, 554894, 4007, 2827, 130081, 1962}};
    Sample s;
    s.n = 15;
    s.k = 6;
    for (size_t i = 0; i < 16; ++i) {
        if (i < s.n) s.y.push_back(table[i][0]);
        for (size_t j = 0; j < s.k; ++j) (i < s.n ? s.x : s.theta).push_back(table[i][1 + j]);
    }
    s.x[3 * s.k + 2] = kNaN;  // UNEMP of 1950
    s.x[7 * s.k + 0] = kNaN;  // GNPDEFL of 1954
    return s;
}

// Pairwise deletion gave a covariance with a negative eigenvalue, which LU
// and the pseudoinverse inverted (Cholesky refused it only by chance of
// method, and max-fit with a fault report): the predictions ran from 60,384
// to 93,660 for outcomes from 60,171 to 69,564, against 71,127 to 71,798
// from the complete rows. Every method now refuses it, naming the cause and
// the remedy; the complete rows and the grid, whose cells use only their
// complete rows, still predict.
TEST(UnusableData, AnIndefinitePairwiseCovarianceIsRefusedUnderEveryMethod) {
    const Sample s = longley_with_two_missing_values();
    const std::string refused =
        "covariance of X is indefinite (smallest eigenvalue * of its correlations): missing values make the pairwise "
        "covariance indefinite, its entries coming from different observations; use the complete-rows "
        "missing-moments setting (QEL_MISSING_COMPLETE), or fewer missing values";
    for (int32_t method : {QEL_INV_GAUSSIAN, QEL_INV_CHOLESKY, QEL_INV_PSEUDOINVERSE}) {
        for (int32_t moments : {QEL_MISSING_PAIRWISE, QEL_MISSING_COMPLETE}) {
            const Settings settings{.inv_method = method, .missing_moments = moments};
            const std::string where = "method " + std::to_string(method) + ", missing moments " +
                                      std::to_string(moments);
            const Outcome got[] = {run(kPredict, s, settings), run(kMaxFit, s, settings), run(kGrid, s, settings)};
            for (int m = 0; m < 3; ++m) {
                const bool refuses = m < 2 && moments == QEL_MISSING_PAIRWISE;
                EXPECT_EQ(got[m].status, refuses ? 5 : 0) << where << ", call " << m << ": " << got[m].message;
                if (!refuses) {
                    EXPECT_EQ(got[m].message, "") << where << ", call " << m;
                    ASSERT_TRUE(got[m].yhat) << where << ", call " << m;
                    EXPECT_GT(*got[m].yhat, 60000.0) << where << ", call " << m;
                    EXPECT_LT(*got[m].yhat, 80000.0) << where << ", call " << m;
                    continue;
                }
                EXPECT_TRUE(matches(m == 1 ? kSetup + refused : refused, got[m].message))
                    << where << ", call " << m << ": " << got[m].message;
                EXPECT_TRUE(got[m].out_cleared) << where << ", call " << m;
            }
        }
    }
}

// A grid refuses a column without spread only when a cell uses it.
TEST(UnusableData, GridRefusesAConstantColumnOnlyWhereACellUsesIt) {
    const Sample s = edited([](Sample& x) {
        for (size_t i = 0; i < x.n; ++i) x.x[i * 3 + 1] = 0.1;
    });
    const std::vector<double> without = {1, 0, 0, 0, 0, 1, 1, 0, 1};
    for (bool listed : {false, true}) {
        QelGridOptions* opts = qel_grid_options_create();
        if (listed) {
            ASSERT_EQ(qel_grid_options_set_attribute_combi(opts, without.data(), 3, 3, 0), 0);
        }
        Results r;
        const int32_t status =
            qel_grid(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, opts, &r.handle);
        qel_grid_options_free(opts);
        EXPECT_EQ(status, listed ? 0 : 5) << qel_last_error();
        EXPECT_EQ(qel_last_error(), listed ? std::string() : kConstant);
    }
}

// On the logistic scale a grid inverts the covariance of all of X once more,
// for the informativeness term of its composite: cells that leave the
// collinear set out are sound, and that inversion is refused all the same.
TEST(UnusableData, LogisticGridRefusesTheNumericallySingularCovarianceOfItsComposite) {
    Sample s = edited([](Sample& x) {
        for (size_t i = 0; i < x.n; ++i) x.x[i * 3 + 2] = x.x[i * 3] + x.x[i * 3 + 1];
    });
    for (size_t i = 0; i < s.n; ++i) s.y[i] = s.y[i] > 22.0 ? 1.0 : 0.0;
    const std::vector<double> pairs = {1, 1, 0, 1, 0, 1, 0, 1, 1};
    for (int32_t scale : {QEL_SCALE_RESPONSE, QEL_SCALE_LOGISTIC}) {
        QelGridOptions* opts = qel_grid_options_create();
        ASSERT_EQ(qel_grid_options_set_attribute_combi(opts, pairs.data(), 3, 3, QEL_LAYOUT_ROW_MAJOR), 0);
        ASSERT_EQ(qel_grid_options_set_prediction_scale(opts, scale), 0);
        Results r;
        const int32_t status =
            qel_grid(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, opts, &r.handle);
        qel_grid_options_free(opts);
        if (scale == QEL_SCALE_RESPONSE) {
            EXPECT_EQ(status, 0) << qel_last_error();
        } else {
            EXPECT_EQ(status, 5);
            EXPECT_TRUE(matches(kNumericallySingular, qel_last_error())) << qel_last_error();
            EXPECT_EQ(r.handle, nullptr);
        }
    }
}

TEST(UnusableData, EveryModelCallRefusesAnOverflowingCovarianceUnderEveryMethod) {
    // 1e308 beside ordinary values: the covariance holds infinities. On this
    // sample LAPACK's SVD never returned.
    Sample hang;
    hang.n = 5;
    hang.k = 3;
    hang.x = {0, 0, 1, 5, 1e308, 2, 1, 1, 0, 2, 3, 1, 3, 2, 4};
    hang.y = {1, 2, 3, 4, 5};
    hang.theta = {1, 1, 1};
    // One huge entry among eight rows: max-fit gave the plain mean with the
    // attribute silently dropped, and the grid a composite of such cells.
    Sample one_huge = normal_sample(8, 2, 31);
    one_huge.x[6] = 1e308;
    Sample infinite = normal_sample(30, 3, 32);
    infinite.x[10] = -kInf;
    struct Case {
        const char* name;
        const Sample& sample;
        int column;
    } cases[] = {{"5 x 3 with 1e308", hang, 1}, {"8 x 2 with 1e308", one_huge, 0}, {"an infinite entry", infinite, 1}};
    for (const auto& c : cases) {
        for (int32_t method : {0, 1, 2}) {
            const std::string refused = covariance_refused("column " + std::to_string(c.column));
            const Settings settings{.inv_method = method};
            const std::string where = std::string(c.name) + ", method " + std::to_string(method);
            const Outcome got[] = {run(kPredict, c.sample, settings), run(kMaxFit, c.sample, settings),
                                   run(kGrid, c.sample, settings)};
            const std::string want[] = {refused, kSetup + refused, refused};
            for (int m = 0; m < 3; ++m) {
                EXPECT_EQ(got[m].status, 5) << where << ", call " << m;
                EXPECT_EQ(got[m].message, want[m]) << where << ", call " << m;
                EXPECT_TRUE(got[m].out_cleared) << where << ", call " << m;
            }
        }
    }
}

// The insight calls compute the inverse covariance themselves unless given
// one; a covariance too close to singular is refused there too, in their
// words and why, while a given inverse is used as it is.
TEST(UnusableData, InsightCallsRefuseANumericallySingularCovariance) {
    const Sample s = edited([](Sample& x) {
        for (size_t i = 0; i < x.n; ++i) x.x[i * 3 + 2] = x.x[i * 3] + x.x[i * 3 + 1];
    });
    std::vector<double> out(s.n, -1.0);
    EXPECT_EQ(qel_relevance(s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, nullptr, 0, out.data(),
                            out.size()),
              5);
    EXPECT_TRUE(matches("failed to invert covariance (singular / ill-conditioned X): " + kNumericallySingular,
                        qel_last_error()))
        << qel_last_error();
    for (double v : out) EXPECT_EQ(v, -1.0);
    const double identity[] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(qel_relevance(s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, identity, 0, out.data(),
                            out.size()),
              0);
}

}  // namespace
