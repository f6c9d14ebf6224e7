// qel_predict end to end, as a host sees it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host_results.hpp"
#include "qelcore.h"

namespace {

using namespace host;

struct Options {
    QelPredictOptions* handle = qel_predict_options_create();
    ~Options() { qel_predict_options_free(handle); }
    Options& thresholds(std::vector<double> t) {
        EXPECT_EQ(qel_predict_options_set_threshold(handle, t.data(), t.size()), 0);
        return *this;
    }
};

int32_t run(const Sample& s, const QelPredictOptions* opts, Results& out) {
    return qel_predict(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, opts,
                       &out.handle);
}

// Every array a prediction result exposes, in one place for comparisons.
std::vector<std::vector<double>> everything(const QelPredictionResults* r) {
    const size_t n = qel_results_num_observations(r);
    const size_t t = qel_results_num_thresholds(r);
    std::vector<std::vector<double>> all;
    for (CopyFn fn : {qel_results_copy_yhat, qel_results_copy_fit, qel_results_copy_agreement,
                      qel_results_copy_outlier_influence, qel_results_copy_asymmetry, qel_results_copy_adjusted_fit,
                      qel_results_copy_k_fit, qel_results_copy_thresholds, qel_results_copy_aux_n,
                      qel_results_copy_aux_lambda_sq, qel_results_copy_aux_r_star, qel_results_copy_ysolo_sigma,
                      qel_results_copy_weights_concentration}) {
        all.push_back(copy_vec(r, fn, t));
    }
    for (CopyFn fn : {qel_results_copy_relevance, qel_results_copy_similarity, qel_results_copy_info_x,
                      qel_results_copy_y_solo}) {
        all.push_back(copy_vec(r, fn, n));
    }
    all.push_back(copy_mat(r, qel_results_copy_weights, n * t));
    all.push_back(copy_mat(r, qel_results_copy_weights_excluded, n * t));
    all.push_back(copy_mat(r, qel_results_copy_xi_solo, n * t));
    return all;
}

TEST(Predict, HandCheckedSingleAttribute) {
    // N = 6, K = 1: the covariance is the sample variance, and with every
    // observation retained each weight is 1/N + (r_i - mean r) / (N - 1).
    Sample s;
    s.n = 6;
    s.k = 1;
    s.x = {1.0, 2.0, 4.0, 5.0, 7.0, 11.0};
    s.y = {2.0, 3.5, 3.0, 6.0, 8.5, 9.0};
    s.theta = {6.0};
    Options opts;
    opts.thresholds({0.0});
    Results res;
    ASSERT_EQ(run(s, opts.handle, res), 0) << qel_last_error();

    double mean = 0.0;
    for (double v : s.x) mean += v;
    mean /= 6.0;
    double var = 0.0;
    for (double v : s.x) var += (v - mean) * (v - mean);
    var /= 5.0;
    std::vector<double> r(6);
    double rbar = 0.0;
    const double info_theta = (s.theta[0] - mean) * (s.theta[0] - mean) / var;
    for (size_t i = 0; i < 6; ++i) {
        const double sim = -0.5 * (s.x[i] - s.theta[0]) * (s.x[i] - s.theta[0]) / var;
        const double info = (s.x[i] - mean) * (s.x[i] - mean) / var;
        r[i] = sim + 0.5 * (info + info_theta);
        rbar += r[i] / 6.0;
    }
    std::vector<double> w(6);
    double yhat = 0.0, wbar = 0.0, ybar = 0.0;
    for (size_t i = 0; i < 6; ++i) {
        w[i] = 1.0 / 6.0 + (r[i] - rbar) / 5.0;
        yhat += w[i] * s.y[i];
        wbar += w[i] / 6.0;
        ybar += s.y[i] / 6.0;
    }
    double cwy = 0.0, vw = 0.0, vy = 0.0;
    for (size_t i = 0; i < 6; ++i) {
        cwy += (w[i] - wbar) * (s.y[i] - ybar);
        vw += (w[i] - wbar) * (w[i] - wbar);
        vy += (s.y[i] - ybar) * (s.y[i] - ybar);
    }
    const double fit = cwy * cwy / (vw * vy);

    const auto got_rel = copy_vec(res.handle, qel_results_copy_relevance, 6);
    const auto got_w = copy_mat(res.handle, qel_results_copy_weights, 6);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(got_rel[i], r[i], 1e-12) << i;
        EXPECT_NEAR(got_w[i], w[i], 1e-12) << i;
    }
    EXPECT_NEAR(copy_vec(res.handle, qel_results_copy_yhat, 1)[0], yhat, 1e-12);
    EXPECT_NEAR(copy_vec(res.handle, qel_results_copy_fit, 1)[0], fit, 1e-12);
    // Nothing censored: no asymmetry, and adjusted fit = fit * K with K = 1.
    EXPECT_EQ(copy_vec(res.handle, qel_results_copy_asymmetry, 1)[0], 0.0);
    EXPECT_EQ(copy_vec(res.handle, qel_results_copy_adjusted_fit, 1)[0],
              copy_vec(res.handle, qel_results_copy_fit, 1)[0]);
    EXPECT_EQ(copy_vec(res.handle, qel_results_copy_aux_n, 1)[0], 6.0);
}

TEST(Predict, HoldsExactlyThePartsOfAPrediction) {
    const Sample s = normal_sample(40, 3, 1);
    Options opts;
    opts.thresholds({0.0, 0.2, 0.5, 0.8});
    Results res;
    ASSERT_EQ(run(s, opts.handle, res), 0) << qel_last_error();
    const QelPredictionResults* r = res.handle;
    EXPECT_EQ(qel_results_num_observations(r), 40u);
    EXPECT_EQ(qel_results_num_variables(r), 3u);
    EXPECT_EQ(qel_results_num_thresholds(r), 4u);

    struct Part {
        const char* name;
        int32_t (*has)(const QelPredictionResults*);
        int32_t expected;
    } parts[] = {
        {"auxiliary", qel_results_has_auxiliary, 1},
        {"include", qel_results_has_include, 1},
        {"weights", qel_results_has_weights, 1},
        {"weights_excluded", qel_results_has_weights_excluded, 1},
        {"y_solo", qel_results_has_y_solo, 1},
        {"xi_solo", qel_results_has_xi_solo, 1},
        {"ysolo_distribution", qel_results_has_ysolo_distribution, 1},
        {"maxfit_index", qel_results_has_maxfit_index, 0},
        {"yhat_linear", qel_results_has_yhat_linear, 0},
        {"grid_insights", qel_results_has_grid_insights, 0},
        {"grid_cells", qel_results_has_grid_cells, 0},
    };
    for (const auto& p : parts) EXPECT_EQ(p.has(r), p.expected) << p.name;

    size_t d0 = 0, d1 = 0;
    for (auto dims : {qel_results_include_dims, qel_results_weights_dims, qel_results_weights_excluded_dims,
                      qel_results_xi_solo_dims}) {
        ASSERT_EQ(dims(r, &d0, &d1), 0);
        EXPECT_EQ(d0, 40u);
        EXPECT_EQ(d1, 4u);
    }
    // Every solo statistic, the concentration and the relevance vectors are there.
    for (CopyFn fn : {qel_results_copy_ysolo_sigma, qel_results_copy_ysolo_skewness, qel_results_copy_ysolo_kurtosis,
                      qel_results_copy_ysolo_pearson_modality_index, qel_results_copy_ysolo_bimodal_index,
                      qel_results_copy_weights_concentration}) {
        std::vector<double> v(4);
        EXPECT_EQ(fn(r, v.data(), 4), 0) << qel_last_error();
    }
    double info_theta = 0.0;
    EXPECT_EQ(qel_results_copy_info_theta(r, &info_theta, 1), 0);
    // rho is not written by a prediction; k is K at every threshold.
    const auto rho = copy_vec(r, qel_results_copy_aux_rho, 4);
    const auto k = copy_vec(r, qel_results_copy_aux_k, 4);
    for (size_t j = 0; j < 4; ++j) {
        EXPECT_TRUE(std::isnan(rho[j]));
        EXPECT_EQ(k[j], 3.0);
    }
    // Retained counts at percentiles 0, 20, 50, 80 of the relevance.
    const auto n = copy_vec(r, qel_results_copy_aux_n, 4);
    EXPECT_EQ(n[0], 40.0);
    EXPECT_GT(n[1], n[2]);
    EXPECT_GT(n[2], n[3]);
    // All observations retained: no asymmetry, adjusted fit = fit * K.
    EXPECT_EQ(copy_vec(r, qel_results_copy_asymmetry, 4)[0], 0.0);
    EXPECT_EQ(copy_vec(r, qel_results_copy_adjusted_fit, 4)[0], copy_vec(r, qel_results_copy_fit, 4)[0] * 3.0);
}

TEST(Predict, BothLayoutsGiveTheSameBits) {
    const Sample s = normal_sample(57, 4, 2, 0.05);
    std::vector<double> col(s.x.size());
    for (size_t i = 0; i < s.n; ++i) {
        for (size_t j = 0; j < s.k; ++j) col[j * s.n + i] = s.x[i * s.k + j];
    }
    Options opts;
    opts.thresholds({0.0, 0.3, 0.6});
    Results a, b;
    ASSERT_EQ(run(s, opts.handle, a), 0) << qel_last_error();
    ASSERT_EQ(qel_predict(s.y.data(), s.n, col.data(), s.n, s.k, QEL_LAYOUT_COL_MAJOR, s.theta.data(), s.k,
                          opts.handle, &b.handle),
              0)
        << qel_last_error();
    const auto ea = everything(a.handle), eb = everything(b.handle);
    ASSERT_EQ(ea.size(), eb.size());
    for (size_t i = 0; i < ea.size(); ++i) EXPECT_TRUE(same_bits(ea[i], eb[i])) << "array " << i;
}

TEST(Predict, NullOptionsAreTheDefaultsOfAFreshHandle) {
    const Sample s = normal_sample(30, 2, 3);
    Options fresh;
    Results a, b;
    ASSERT_EQ(run(s, nullptr, a), 0) << qel_last_error();
    ASSERT_EQ(run(s, fresh.handle, b), 0) << qel_last_error();
    EXPECT_EQ(qel_results_num_thresholds(a.handle), 1u);
    double thr = 0.0;
    ASSERT_EQ(qel_results_copy_thresholds(a.handle, &thr, 1), 0);
    EXPECT_EQ(thr, 0.5);
    const auto ea = everything(a.handle), eb = everything(b.handle);
    for (size_t i = 0; i < ea.size(); ++i) EXPECT_TRUE(same_bits(ea[i], eb[i])) << "array " << i;
}

TEST(Predict, CallRecordMatchesTheDirectCall) {
    const Sample s = normal_sample(25, 3, 4);
    Options opts;
    opts.thresholds({0.1, 0.7});
    Results direct, via_record;
    ASSERT_EQ(run(s, opts.handle, direct), 0);
    QelModelCallArgs args{s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR,
                          s.theta.data(), s.k, opts.handle, &via_record.handle};
    ASSERT_EQ(qel_predict_call(&args), 0) << qel_last_error();
    const auto ea = everything(direct.handle), eb = everything(via_record.handle);
    for (size_t i = 0; i < ea.size(); ++i) EXPECT_TRUE(same_bits(ea[i], eb[i])) << "array " << i;

    // The same failure, status and message, by either road.
    QelPredictionResults* out = nullptr;
    args.y_len = 3;
    args.out_results = &out;
    EXPECT_EQ(qel_predict_call(&args), 2);
    EXPECT_STREQ(qel_last_error(), "y length (3) must equal X rows (25)");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(qel_predict_call(nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "args is null");
}

TEST(Predict, ArgumentFailures) {
    const Sample s = normal_sample(10, 2, 5);
    auto* stale = reinterpret_cast<QelPredictionResults*>(0x1);
    struct Case {
        const char* name;
        const double* y;
        size_t y_len;
        const double* x;
        size_t rows, cols;
        int32_t layout;
        const double* theta;
        size_t theta_len;
        int32_t status;
        const char* message;
    } cases[] = {
        {"layout before lengths", s.y.data(), 3, s.x.data(), 10, 2, 2, s.theta.data(), 2, 3,
         "invalid QelLayout value: 2 (use 0=row-major, 1=col-major)"},
        {"negative layout", s.y.data(), 10, s.x.data(), 10, 2, -1, s.theta.data(), 2, 3,
         "invalid QelLayout value: -1 (use 0=row-major, 1=col-major)"},
        {"y length", s.y.data(), 9, s.x.data(), 10, 2, 0, s.theta.data(), 2, 2, "y length (9) must equal X rows (10)"},
        {"theta length", s.y.data(), 10, s.x.data(), 10, 2, 0, s.theta.data(), 1, 2,
         "theta length (1) must equal X cols (2)"},
        {"y null", nullptr, 10, s.x.data(), 10, 2, 0, s.theta.data(), 2, 1, "y pointer is null"},
        {"zero rows", s.y.data(), 0, s.x.data(), 0, 2, 0, s.theta.data(), 2, 3, "y length must be non-zero"},
        {"x null", s.y.data(), 10, nullptr, 10, 2, 0, s.theta.data(), 2, 1, "matrix pointer is null"},
        {"zero cols", s.y.data(), 10, s.x.data(), 10, 0, 0, s.theta.data(), 0, 3, "matrix dimensions must be non-zero"},
        {"theta null", s.y.data(), 10, s.x.data(), 10, 2, 0, nullptr, 2, 1, "theta pointer is null"},
    };
    for (const auto& c : cases) {
        QelPredictionResults* out = stale;
        EXPECT_EQ(qel_predict(c.y, c.y_len, c.x, c.rows, c.cols, c.layout, c.theta, c.theta_len, nullptr, &out),
                  c.status)
            << c.name;
        EXPECT_STREQ(qel_last_error(), c.message) << c.name;
        EXPECT_EQ(out, nullptr) << c.name << ": the caller's variable must be NULL after a failure";
    }
    // A NULL out-pointer is reported before anything else is looked at.
    EXPECT_EQ(qel_predict(nullptr, 0, nullptr, 0, 0, 9, nullptr, 0, nullptr, nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "out_results is null");
}

TEST(Predict, InversionMethodDecidesASingularCovariance) {
    // The second attribute is twice the first: the covariance is singular.
    Sample s = normal_sample(20, 2, 6);
    for (size_t i = 0; i < s.n; ++i) s.x[i * 2 + 1] = 2.0 * s.x[i * 2];
    const std::string numerically_singular = "Matrix is numerically singular (reciprocal condition number ";
    struct Case {
        int32_t method;
        int32_t status;
        const char* exact;  // the failure of the factorisation itself
    } cases[] = {
        {QEL_INV_GAUSSIAN, 5, "LU decomposition failed."},
        {QEL_INV_CHOLESKY, 5, "Cholesky decomposition failed."},
        {QEL_INV_PSEUDOINVERSE, 0, ""},
    };
    for (const auto& c : cases) {
        Options opts;
        ASSERT_EQ(qel_predict_options_set_inv_method(opts.handle, c.method), 0);
        Results res;
        EXPECT_EQ(run(s, opts.handle, res), c.status) << c.method;
        // In floating point the factorisation may or may not meet an exactly
        // zero pivot; when it does not, the condition number refuses the
        // matrix.
        const std::string message = qel_last_error();
        if (c.status == 0) {
            EXPECT_EQ(message, "");
        } else if (message != c.exact) {
            EXPECT_EQ(message.rfind(numerically_singular, 0), 0u) << message;
        }
        EXPECT_EQ(res.handle != nullptr, c.status == 0);
    }
}

TEST(Predict, FailingLinearRegressionFailsTheRun) {
    // A constant column: its variance is exactly 0, so LU cannot invert the
    // attributes' covariance; the pseudoinverse run can.
    Sample s = normal_sample(20, 2, 7);
    for (size_t i = 0; i < s.n; ++i) s.x[i * 2 + 1] = 3.0;
    Options opts;
    ASSERT_EQ(qel_predict_options_set_inv_method(opts.handle, QEL_INV_PSEUDOINVERSE), 0);
    {
        Results res;
        ASSERT_EQ(run(s, opts.handle, res), 0) << qel_last_error();
        EXPECT_EQ(qel_results_has_yhat_linear(res.handle), 0);
    }
    ASSERT_EQ(qel_predict_options_set_include_linear_regression(opts.handle, 1), 0);
    Results res;
    EXPECT_EQ(run(s, opts.handle, res), 5);
    EXPECT_EQ(std::string(qel_last_error()).rfind("Failed to invert cov_X: ", 0), 0u) << qel_last_error();
    EXPECT_EQ(res.handle, nullptr);
}

TEST(Predict, LinearRegressionValueWhenAsked) {
    // y exactly linear in x: the regression at theta is the line's value there.
    Sample s = normal_sample(30, 2, 8);
    for (size_t i = 0; i < s.n; ++i) s.y[i] = 1.5 + 2.0 * s.x[i * 2] - 0.5 * s.x[i * 2 + 1];
    Options opts;
    ASSERT_EQ(qel_predict_options_set_include_linear_regression(opts.handle, 1), 0);
    Results res;
    ASSERT_EQ(run(s, opts.handle, res), 0) << qel_last_error();
    double v = 0.0;
    ASSERT_EQ(qel_results_copy_yhat_linear(res.handle, &v, 1), 0);
    EXPECT_NEAR(v, 1.5 + 2.0 * s.theta[0] - 0.5 * s.theta[1], 1e-9);
}

TEST(Predict, LogisticScale) {
    Sample s = normal_sample(60, 2, 9);
    for (size_t i = 0; i < s.n; ++i) s.y[i] = s.y[i] > 0.0 ? 1.0 : 0.0;
    Options response, logistic;
    response.thresholds({0.0, 0.5});
    logistic.thresholds({0.0, 0.5});
    ASSERT_EQ(qel_predict_options_set_prediction_scale(logistic.handle, QEL_SCALE_LOGISTIC), 0);
    Results a, b;
    ASSERT_EQ(run(s, response.handle, a), 0) << qel_last_error();
    ASSERT_EQ(run(s, logistic.handle, b), 0) << qel_last_error();
    const auto p = copy_vec(b.handle, qel_results_copy_yhat, 2);
    const auto ysolo = copy_vec(b.handle, qel_results_copy_y_solo, s.n);
    for (double v : p) EXPECT_TRUE(v > 0.0 && v < 1.0) << v;
    for (double v : ysolo) EXPECT_TRUE(std::isnan(v) || (v >= 0.0 && v <= 1.0)) << v;
    // The scale changes the predictions, not the fit of the weights.
    for (CopyFn fn : {qel_results_copy_fit, qel_results_copy_agreement, qel_results_copy_asymmetry}) {
        EXPECT_TRUE(same_bits(copy_vec(a.handle, fn, 2), copy_vec(b.handle, fn, 2)));
    }
    EXPECT_FALSE(same_bits(copy_vec(a.handle, qel_results_copy_yhat, 2), p));

    // All-zero outcomes: every probability is NaN and the run still succeeds.
    std::fill(s.y.begin(), s.y.end(), 0.0);
    Results z;
    ASSERT_EQ(run(s, logistic.handle, z), 0) << qel_last_error();
    for (double v : copy_vec(z.handle, qel_results_copy_yhat, 2)) EXPECT_TRUE(std::isnan(v));
}

TEST(Predict, AdjustedFitMultipliers) {
    const Sample s = normal_sample(50, 3, 10);
    struct Case {
        int32_t code;
        double factor;
    } cases[] = {{QEL_ADJ_FIT_IDENTITY, 1.0}, {QEL_ADJ_FIT_K, 3.0}, {QEL_ADJ_FIT_LOG, std::log(4.0)}};
    for (const auto& c : cases) {
        Options opts;
        opts.thresholds({0.0, 0.4, 0.7});
        ASSERT_EQ(qel_predict_options_set_adj_fit_multiplier(opts.handle, c.code), 0);
        Results res;
        ASSERT_EQ(run(s, opts.handle, res), 0) << qel_last_error();
        const auto fit = copy_vec(res.handle, qel_results_copy_fit, 3);
        const auto asym = copy_vec(res.handle, qel_results_copy_asymmetry, 3);
        const auto adj = copy_vec(res.handle, qel_results_copy_adjusted_fit, 3);
        const auto kfit = copy_vec(res.handle, qel_results_copy_k_fit, 3);
        for (size_t k = 0; k < 3; ++k) {
            const double sum = fit[k] + asym[k];
            EXPECT_EQ(adj[k], c.code == QEL_ADJ_FIT_IDENTITY ? sum : sum * c.factor) << c.code << " " << k;
            EXPECT_EQ(kfit[k], fit[k] * 3.0);
        }
    }
}

// The header's names for the censor codes select what the setters' words
// select: the two handles give the same bits, and not those of the defaults.
TEST(Predict, NamedCodesSelectWhatTheirWordsSelect) {
    const Sample s = normal_sample(40, 3, 12);
    using CodeSetter = int32_t (*)(QelPredictOptions*, int32_t);
    using TextSetter = int32_t (*)(QelPredictOptions*, const char*);
    struct Case {
        const char* name;
        CodeSetter by_code;
        int32_t code;
        TextSetter by_text;
        const char* text;
        std::vector<double> thresholds;
    } cases[] = {
        {"similarity", qel_predict_options_set_censor_type, QEL_CENSOR_SIMILARITY,
         qel_predict_options_set_censor_type_str, "similarity", {0.0, 0.5}},
        // At the 0th percentile the cut-off is the lowest score: ">" leaves
        // that observation out where ">=" keeps it; at the 100th, "<" leaves
        // out the highest.
        {"greater than", qel_predict_options_set_censor_operator, QEL_CENSOR_GT,
         qel_predict_options_set_censor_operator_str, ">", {0.0, 0.5}},
        {"less than", qel_predict_options_set_censor_operator, QEL_CENSOR_LT,
         qel_predict_options_set_censor_operator_str, "<", {0.5, 1.0}},
        {"at most", qel_predict_options_set_censor_operator, QEL_CENSOR_LTE,
         qel_predict_options_set_censor_operator_str, "<=", {0.5, 1.0}},
        {"score", qel_predict_options_set_censor_unit, QEL_UNIT_SCORE, qel_predict_options_set_censor_unit_str,
         "score", {-2.0, 0.5}},
    };
    for (const auto& c : cases) {
        Options by_code, by_text, defaults;
        by_code.thresholds(c.thresholds);
        by_text.thresholds(c.thresholds);
        defaults.thresholds(c.thresholds);
        ASSERT_EQ(c.by_code(by_code.handle, c.code), 0) << c.name;
        ASSERT_EQ(c.by_text(by_text.handle, c.text), 0) << c.name;
        Results a, b, d;
        ASSERT_EQ(run(s, by_code.handle, a), 0) << c.name << ": " << qel_last_error();
        ASSERT_EQ(run(s, by_text.handle, b), 0) << c.name << ": " << qel_last_error();
        ASSERT_EQ(run(s, defaults.handle, d), 0) << c.name << ": " << qel_last_error();
        const auto got = everything(a.handle);
        const auto want = everything(b.handle);
        const auto plain = everything(d.handle);
        bool differs_from_defaults = false;
        for (size_t part = 0; part < got.size(); ++part) {
            EXPECT_TRUE(same_bits(got[part], want[part])) << c.name << " part " << part;
            differs_from_defaults = differs_from_defaults || !same_bits(got[part], plain[part]);
        }
        EXPECT_TRUE(differs_from_defaults) << c.name;
    }
}

TEST(Predict, UndefinedCovarianceIsAnError) {
    // Without two observed values in a column (or with one observation) the
    // covariance is undefined: every relevance would be NaN and every weight 0.
    // The message names the column and every cause.
    auto message = [](const std::string& column) {
        return "covariance of X is not finite for " + column +
               " (an infinite or overflowing value, a column with fewer than two observed values, fewer than two "
               "complete rows where only those count, or a single observation)";
    };
    Sample all_nan = normal_sample(20, 3, 11);
    for (size_t i = 0; i < all_nan.n; ++i) all_nan.x[i * 3 + 1] = kNaN;
    Sample one_value = normal_sample(20, 3, 12);
    for (size_t i = 1; i < one_value.n; ++i) one_value.x[i * 3 + 2] = kNaN;
    Sample infinite = normal_sample(20, 3, 13);
    infinite.x[5] = -std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        Sample sample;
        std::string column;
    } cases[] = {
        {"all-NaN column", all_nan, "column 1"},
        {"one observed value", one_value, "column 2"},
        {"infinite attribute", infinite, "column 2"},
        {"single observation", normal_sample(1, 2, 15), "any column"},
    };
    for (const auto& c : cases) {
        for (int32_t method : {0, 1, 2}) {
            Options opts;
            ASSERT_EQ(qel_predict_options_set_inv_method(opts.handle, method), 0);
            Results res;
            EXPECT_EQ(run(c.sample, opts.handle, res), 5) << c.name << " " << method;
            EXPECT_EQ(qel_last_error(), message(c.column)) << c.name << " " << method;
            EXPECT_EQ(res.handle, nullptr);
        }
    }
}

TEST(Predict, DifficultDataReportsAStatusNeverACrash) {
    // (Missing and infinite outcomes are refused: see the unusable-data suite.)
    struct Case {
        const char* name;
        Sample sample;
    };
    std::vector<Case> cases;
    cases.push_back({"fewer observations than attributes", normal_sample(3, 5, 16)});
    cases.push_back({"constant column", [] {
                         Sample s = normal_sample(20, 2, 17);
                         for (size_t i = 0; i < s.n; ++i) s.x[i * 2] = 1.0;
                         return s;
                     }()});
    cases.push_back({"5% missing", normal_sample(200, 4, 18, 0.05)});
    for (const auto& c : cases) {
        Options opts;
        opts.thresholds({0.0, 0.5});
        Results res;
        const int32_t status = run(c.sample, opts.handle, res);
        if (status == 0) {
            EXPECT_NE(res.handle, nullptr) << c.name;
            EXPECT_STREQ(qel_last_error(), "") << c.name;
            everything(res.handle);  // every part can be read back
        } else {
            EXPECT_EQ(status, 5) << c.name;
            EXPECT_EQ(res.handle, nullptr) << c.name;
            EXPECT_NE(std::string(qel_last_error()), "") << c.name;
        }
    }
}

TEST(Predict, CensorTypeBothIsRefusedAtTheHandle) {
    Options opts;
    EXPECT_EQ(qel_predict_options_set_censor_type(opts.handle, 2), 3);
    EXPECT_EQ(qel_predict_options_set_censor_type_str(opts.handle, "BOTH"), 3);
    EXPECT_STREQ(qel_last_error(), "censor_type 'both' is not valid for predict");
}

}  // namespace
