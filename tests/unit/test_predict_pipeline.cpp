// The prediction pipeline and the logistic scale, from inside the engine.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "sample_data.hpp"
#include "toolbox/qel/insights/fit/weight_columns.hpp"
#include "toolbox/qel/models/binary/binary.hpp"
#include "toolbox/qel/models/predict/predict.hpp"

namespace {

using test_data::Data;
using test_data::make_data;

using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
using toolbox::qel::models::config::PredictOptions;
using toolbox::qel::models::predict::InsightSource;
using toolbox::qel::models::predict::predict;
using toolbox::qel::models::predict::predict_inner_with_insights;
namespace binary = toolbox::qel::models::binary;

const double kNaN = std::numeric_limits<double>::quiet_NaN();


Vector thresholds(std::size_t t) {
    Vector v(t);
    for (std::size_t k = 0; k < t; ++k) v[k] = 0.9 * static_cast<double>(k) / static_cast<double>(t);
    return v;
}

void expect_close(const Vector& a, const Vector& b, double tol, const char* what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(a[i]) || std::isnan(b[i])) {
            EXPECT_EQ(std::isnan(a[i]), std::isnan(b[i])) << what << "[" << i << "]";
        } else {
            EXPECT_NEAR(a[i], b[i], tol * (1.0 + std::fabs(a[i]))) << what << "[" << i << "]";
        }
    }
}

TEST(PredictPipeline, StreamedPathAgreesWithMaterialisedWeights) {
    // Below and above the 11-threshold split of the fit statistics, with
    // missing data; with rows enough for either driver to run its steps side
    // by side.
    const struct {
        std::size_t n, t;
    } shapes[] = {{300, 3}, {300, 14}, {33'000, 5}};
    for (const auto [n, t] : shapes) {
        const Data d = make_data(n, 4, 21 + static_cast<unsigned>(t), 0.03);
        PredictOptions opts;
        opts.threshold = thresholds(t);
        auto full = predict_inner_with_insights(d.y.view(), d.x.view(), d.theta.view(), opts, InsightSource::compute(),
                                                {.ysolo_histogram = false, .weights = true, .solo = false});
        auto streamed =
            predict_inner_with_insights(d.y.view(), d.x.view(), d.theta.view(), opts, InsightSource::compute(),
                                        {.ysolo_histogram = false, .weights = false, .solo = false});
        ASSERT_TRUE(full && streamed);
        const auto& a = full->results;
        const auto& b = streamed->results;
        EXPECT_FALSE(full->cell_weights.has_value());
        ASSERT_TRUE(streamed->cell_weights.has_value());
        EXPECT_FALSE(b.weights.has_value());
        EXPECT_FALSE(b.weights_excluded.has_value());
        expect_close(a.core.yhat, b.core.yhat, 1e-10, "yhat");
        expect_close(a.core.fit, b.core.fit, 1e-9, "fit");
        expect_close(a.core.asymmetry, b.core.asymmetry, 1e-9, "asymmetry");
        expect_close(a.core.adjusted_fit, b.core.adjusted_fit, 1e-9, "adjusted_fit");
        expect_close(a.core.agreement, b.core.agreement, 1e-9, "agreement");
        expect_close(a.core.outlier_influence, b.core.outlier_influence, 1e-9, "outlier_influence");
        for (std::size_t k = 0; k < t; ++k) EXPECT_EQ(a.auxiliary->n[k], b.auxiliary->n[k]);

        // The cell weights mix the materialised weights by adjusted fit; the
        // include side leaves out thresholds that keep no more rows than K.
        const Matrix& w_in = *a.weights;
        const Matrix& w_ex = *a.weights_excluded;
        Vector in(n), ex(n);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < t; ++k) {
                const double af = a.core.adjusted_fit[k];
                const double g = a.auxiliary->k[k] < a.auxiliary->n[k] ? 1.0 : 0.0;
                in[i] += w_in(i, k) * (af * g);
                ex[i] += w_ex(i, k) * af;
            }
        }
        expect_close(in, streamed->cell_weights->include, 1e-10, "include cell weights");
        expect_close(ex, streamed->cell_weights->exclude, 1e-10, "exclude cell weights");
    }
}

TEST(PredictPipeline, CensorTypeBothFailsBeforeAnyWork) {
    const Data d = make_data(10, 2, 1);
    PredictOptions opts;
    opts.censor_type = toolbox::enums::CensorType::Both;
    // A covariance that cannot be inverted, and an outcome the prediction
    // refuses, would fail later; Both is named first, by the prediction and
    // by the pipeline that the search runs call.
    Matrix x(10, 2, 1.0);
    Vector y = d.y;
    y[3] = kNaN;
    const std::string both =
        "CensorType::Both is not supported in predict functions. Please use either CensorType::Relevance or "
        "CensorType::Similarity. CensorType::Both is only available in maxfit and grid functions.";
    auto r = predict(y.view(), x.view(), d.theta.view(), opts);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, both);
    for (bool weights : {true, false}) {
        auto inner = predict_inner_with_insights(y.view(), x.view(), d.theta.view(), opts, InsightSource::compute(),
                                                 {.weights = weights});
        ASSERT_FALSE(inner) << weights;
        EXPECT_EQ(inner.error().message, both) << weights;
    }
}

TEST(PredictPipeline, MaterialisedWeightsCarryTheirSpread) {
    // One after the other and, with many rows, side by side.
    for (std::size_t n : {80u, 33'000u}) {
        const Data d = make_data(n, 3, 5);
        PredictOptions opts;
        opts.threshold = thresholds(6);
        auto r = predict(d.y.view(), d.x.view(), d.theta.view(), opts);
        ASSERT_TRUE(r) << r.error().message;
        ASSERT_TRUE(r->weights && r->insights->weights_concentration) << n;
        const Vector want = toolbox::qel::insights::fit::weights_concentration_from_matrix(r->weights->view());
        const Vector& got = *r->insights->weights_concentration;
        ASSERT_EQ(got.size(), want.size()) << n;
        for (std::size_t k = 0; k < want.size(); ++k) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got[k]), std::bit_cast<std::uint64_t>(want[k])) << n << " " << k;
        }
    }
}

TEST(PredictPipeline, ThresholdsAndSoloFlags) {
    const Data d = make_data(80, 3, 2);
    PredictOptions opts;
    opts.threshold.reset();
    auto r = predict(d.y.view(), d.x.view(), d.theta.view(), opts);
    ASSERT_TRUE(r) << r.error().message;
    ASSERT_EQ(r->num_thresholds, 4u);
    const double expected[] = {0.0, 0.2, 0.5, 0.8};
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(r->thresholds[k], expected[k]);
    ASSERT_TRUE(r->solo_distribution && r->solo_distribution->statistics);
    EXPECT_TRUE(r->solo_distribution->ysolo_distribution.has_value());

    // Without the solo flag no solo part is stored at all.
    auto inner = predict_inner_with_insights(d.y.view(), d.x.view(), d.theta.view(), opts, InsightSource::compute(),
                                             {.ysolo_histogram = true, .weights = true, .solo = false});
    ASSERT_TRUE(inner);
    EXPECT_FALSE(inner->results.solo_distribution.has_value());
    EXPECT_TRUE(inner->results.insights->weights_concentration.has_value());
}

TEST(PredictPipeline, GivenInverseCovarianceIsUsedAsIs) {
    const Data d = make_data(50, 2, 3);
    PredictOptions plain;
    auto a = predict(d.y.view(), d.x.view(), d.theta.view(), plain);
    ASSERT_TRUE(a);
    // Twice the inverse covariance doubles every distance, so relevance doubles.
    PredictOptions given = plain;
    given.cov_inv = Matrix{{2.0, 0.0}, {0.0, 2.0}};
    PredictOptions unit = plain;
    unit.cov_inv = Matrix{{1.0, 0.0}, {0.0, 1.0}};
    auto b = predict(d.y.view(), d.x.view(), d.theta.view(), given);
    auto c = predict(d.y.view(), d.x.view(), d.theta.view(), unit);
    ASSERT_TRUE(b && c);
    for (std::size_t i = 0; i < 50; ++i) {
        EXPECT_DOUBLE_EQ((*b->insights->relevance)[i], 2.0 * (*c->insights->relevance)[i]);
    }
}

TEST(PredictPipeline, NaNRelevanceStillFillsEveryPart) {
    // An inverse covariance of NaN makes every relevance and every solo
    // prediction NaN; the pipeline still completes (the weights fall back to
    // 0 and the histogram keeps the NaN values, which are never counted), as
    // a grid cell that cannot predict must.
    const Data d = make_data(30, 2, 4);
    PredictOptions opts;
    opts.cov_inv = Matrix(2, 2, kNaN);
    auto inner = predict_inner_with_insights(d.y.view(), d.x.view(), d.theta.view(), opts, InsightSource::compute(),
                                             {});
    ASSERT_TRUE(inner) << inner.error().message;
    const auto* r = &inner->results;
    ASSERT_TRUE(r->solo_distribution.has_value());
    ASSERT_TRUE(r->solo_distribution->ysolo_distribution.has_value());
    for (double c : r->solo_distribution->ysolo_distribution->bin_counts.flat()) EXPECT_EQ(c, 0.0);
    EXPECT_TRUE(r->solo_distribution->y_solo.has_value());
    EXPECT_TRUE(r->solo_distribution->statistics.has_value());
    EXPECT_TRUE(r->weights.has_value());

    // A prediction run retains nothing then, and says so instead of
    // predicting 0.
    for (auto censor : {toolbox::enums::CensorType::Relevance, toolbox::enums::CensorType::Similarity}) {
        opts.censor_type = censor;
        auto refused = predict(d.y.view(), d.x.view(), d.theta.view(), opts);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().message.rfind(censor == toolbox::enums::CensorType::Relevance
                                                    ? "no observation has a finite relevance score: "
                                                    : "no observation has a finite similarity score: ",
                                                0),
                  0u)
            << refused.error().message;
    }
}

TEST(LogisticScale, Cases) {
    const Matrix x{{1.0}, {2.0}, {3.0}, {4.0}};
    const double z1 = 1.0 / (std::exp(-1.0) + 1.0);
    const double top = 1.0 / (std::exp(-60.0) + 1.0);
    struct Case {
        const char* name;
        Vector y;
        Vector values;
        Vector expected;  // NaN where NaN is expected
    } cases[] = {
        // p = 0.5: odds 1, log-odds 0, scale 4, no correction.
        {"centre", {0.0, 1.0, 0.0, 1.0}, {0.5, 0.75}, {0.5, z1}},
        {"clamped", {0.0, 1.0, 0.0, 1.0}, {1e300, -1e300}, {top, 1.0 / (std::exp(60.0) + 1.0)}},
        {"NaN value", {0.0, 1.0, 0.0, 1.0}, {kNaN}, {kNaN}},
        {"all zero outcomes", {0.0, 0.0, 0.0, 0.0}, {0.3, 0.7, 2.0}, {kNaN, kNaN, kNaN}},
    };
    for (const auto& c : cases) {
        auto p = binary::logistic_probability_from_yhat(c.y.view(), x.view(), c.values.view(), std::nullopt);
        ASSERT_TRUE(p) << c.name << ": " << p.error().message;
        ASSERT_EQ(p->size(), c.values.size()) << c.name;
        for (std::size_t i = 0; i < p->size(); ++i) {
            if (std::isnan(c.expected[i])) {
                EXPECT_TRUE(std::isnan((*p)[i])) << c.name;
            } else {
                EXPECT_DOUBLE_EQ((*p)[i], c.expected[i]) << c.name << " " << i;
            }
        }
    }
}

TEST(LogisticScale, Errors) {
    const Matrix x{{1.0}, {2.0}, {3.0}};
    const Vector y{0.0, 1.0, 1.0};
    const Vector values{0.5};
    auto check = [](const toolbox::Result<Vector>& r, const char* message) {
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message, message);
    };
    check(binary::logistic_probability_from_yhat(Vector{}.view(), x.view(), values.view(), std::nullopt),
          "y must not be empty");
    check(binary::logistic_probability_from_yhat(y.view(), x.view(), Vector{}.view(), std::nullopt),
          "yhat must not be empty");
    const Matrix two_rows{{1.0}, {2.0}};
    check(binary::logistic_probability_from_yhat(y.view(), two_rows.view(), values.view(), std::nullopt),
          "x must have the same number of rows as y");
    const Matrix no_cols(3, 0);
    check(binary::logistic_probability_from_yhat(y.view(), no_cols.view(), values.view(), std::nullopt),
          "x must have at least one column");
    // The zero-sum exit comes before the shape is looked at.
    const Vector zeros{0.0, 0.0, 0.0};
    EXPECT_TRUE(binary::logistic_probability_from_yhat(zeros.view(), two_rows.view(), values.view(), std::nullopt));
}

TEST(LogisticScale, MissingAttributesCountAsZeroInTheCorrection) {
    const Vector y{0.0, 1.0, 1.0, 0.0, 1.0};
    const Matrix with_nan{{1.0, 2.0}, {kNaN, 1.0}, {3.0, 0.5}, {2.0, 2.5}, {4.0, 1.5}};
    const Matrix zeroed{{1.0, 2.0}, {0.0, 1.0}, {3.0, 0.5}, {2.0, 2.5}, {4.0, 1.5}};
    const Vector values{0.2, 0.6};
    auto a = binary::logistic_probability_from_yhat(y.view(), with_nan.view(), values.view(), std::nullopt);
    auto b = binary::logistic_probability_from_yhat(y.view(), zeroed.view(), values.view(), std::nullopt);
    ASSERT_TRUE(a && b);
    for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ((*a)[i], (*b)[i]);
    // The correction is the distance between the means of x over y = 1 and over all rows.
    auto info = binary::informativeness_from_x(y.view(), zeroed.view(), Matrix{{1.0, 0.0}, {0.0, 1.0}}.view(), 3.0);
    ASSERT_TRUE(info);
    const double d0 = (0.0 + 3.0 + 4.0) / 3.0 - (1.0 + 0.0 + 3.0 + 2.0 + 4.0) / 5.0;
    const double d1 = (1.0 + 0.5 + 1.5) / 3.0 - (2.0 + 1.0 + 0.5 + 2.5 + 1.5) / 5.0;
    EXPECT_NEAR(*info, d0 * d0 + d1 * d1, 1e-14);
}

}  // namespace
