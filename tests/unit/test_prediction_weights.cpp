// The censored partial-sample weights of a prediction run and what they write
// into the results store.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "toolbox/error.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/qel/insights/relevance.hpp"
#include "toolbox/qel/insights/weights/prediction_weights.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"

namespace {

using namespace toolbox::qel::insights::weights;
using prediction_weights::CensorSettings;
using prediction_weights::InsightSource;
using prediction_weights::PrecomputedInsights;
using prediction_weights::prediction_weights_with_insights;
using toolbox::enums::CensorOperator;
using toolbox::enums::CensorType;
using toolbox::enums::CensorUnit;
using toolbox::enums::MissingMoments;
using toolbox::matrix::BoolMatrix;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
using toolbox::qel::results::PredictionResults;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Five observations of two attributes; rows 1 and 3 have a missing value.
Matrix sample_x() { return Matrix{{1.0, 2.0}, {kNaN, 1.0}, {3.0, 0.5}, {2.0, kNaN}, {0.5, 1.5}}; }

PrecomputedInsights sample_insights() {
    PrecomputedInsights p;
    p.relevance = {1.0, kNaN, 3.0, 2.0, 5.0};
    p.similarity = {-0.5, -2.0, -0.1, -1.0, -3.0};
    p.info_x = {0.1, 0.2, 0.3, 0.4, 0.5};
    p.info_theta = {0.7};
    return p;
}

PredictionResults fresh(std::size_t t) { return PredictionResults::create(5, 2, t, Vector(t, 0.0)); }

struct RunSpec {
    CensorType type = CensorType::Relevance;
    CensorOperator op = CensorOperator::GreaterThanOrEqual;
    Vector thresholds = {0.5};
    CensorUnit unit = CensorUnit::Score;
    bool weights = true;
    MissingMoments moments = MissingMoments::Pairwise;
};

auto run(PredictionResults& results, InsightSource source, const RunSpec& r) {
    const Matrix x = sample_x();
    const Vector theta = {1.0, 1.0};
    const CensorSettings censor{r.type, r.op, r.unit, r.thresholds.view()};
    return prediction_weights_with_insights(results, x, theta, censor, std::nullopt, std::move(source), r.weights,
                                            r.moments);
}

TEST(PredictionWeights, PercentUnitWithTheDefaultThresholdOfAPredictHandleCutsAtTheMedian) {
    PredictionResults results = fresh(1);
    RunSpec r;
    r.unit = CensorUnit::Percent;
    auto out = run(results, InsightSource::owned(sample_insights()), r);
    ASSERT_TRUE(out.has_value());
    const auto& aux = *results.auxiliary;
    EXPECT_EQ(aux.r_star[0], 2.5);  // median of 1, 2, 3, 5: the NaN is skipped
    EXPECT_EQ(aux.r_star_percent[0], 50.0);
    EXPECT_EQ(out->n[0], 2.0);
    EXPECT_EQ(aux.n[0], 2u);
    const BoolMatrix& inc = *results.include;
    const bool want[] = {false, false, true, false, true};
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(inc(i, 0), want[i]) << i;
}

TEST(PredictionWeights, ScoreUnitReportsPercentileRanks) {
    PredictionResults results = fresh(2);
    RunSpec r;
    r.thresholds = Vector{2.0, 3.0};
    auto out = run(results, InsightSource::owned(sample_insights()), r);
    ASSERT_TRUE(out.has_value());
    const auto& aux = *results.auxiliary;
    EXPECT_EQ(aux.r_star[0], 2.0);
    EXPECT_EQ(aux.r_star[1], 3.0);
    // The NaN score counts in the length: ((1 * 0.5 + 1) / 5) * 100 and ((0.5 + 2) / 5) * 100.
    EXPECT_DOUBLE_EQ(aux.r_star_percent[0], 30.0);
    EXPECT_DOUBLE_EQ(aux.r_star_percent[1], 50.0);
    EXPECT_EQ(out->n[0], 3.0);
    EXPECT_EQ(out->n[1], 2.0);
}

TEST(PredictionWeights, OnlyTheRowsWithARelevanceAreWeighed) {
    // Four of the five rows have a relevance, whichever rule made the
    // covariance: N is 4, and the row without one weighs nothing, also where
    // a cut-off that retains one observation makes lambda_sq 0 (column 0).
    // So each column's weights sum to 1.
    for (MissingMoments moments : {MissingMoments::Complete, MissingMoments::Pairwise}) {
        PredictionResults results = fresh(2);
        RunSpec r;
        r.thresholds = Vector{4.0, 1.5};
        r.moments = moments;
        auto out = run(results, InsightSource::owned(sample_insights()), r);
        ASSERT_TRUE(out.has_value());
        ASSERT_EQ(results.auxiliary->lambda_sq[0], 0.0);
        ASSERT_NE(results.auxiliary->lambda_sq[1], 0.0);
        EXPECT_EQ(results.auxiliary->phi[1], 3.0 / 4.0);
        const Matrix& w = *results.weights;
        for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(w(i, 0), i == 1 ? 0.0 : 1.0 / 4.0) << i;
        EXPECT_EQ(w(1, 1), 0.0);
        for (const Matrix* side : {&*results.weights, &*results.weights_excluded}) {
            for (std::size_t k = 0; k < 2; ++k) {
                double sum = 0.0;
                for (std::size_t i = 0; i < 5; ++i) sum += (*side)(i, k);
                EXPECT_NEAR(sum, 1.0, 1e-15) << k;
            }
        }
    }
}

TEST(PredictionWeights, SimilarityCensorsButRelevanceWeighs) {
    PredictionResults results = fresh(2);
    RunSpec r;
    r.type = CensorType::Similarity;
    r.thresholds = Vector{-1.0, -0.4};
    const PrecomputedInsights p = sample_insights();
    auto out = run(results, InsightSource::borrowed(p), r);
    ASSERT_TRUE(out.has_value());
    BoolMatrix include(5, 2), exclude(5, 2);
    for (std::size_t i = 0; i < 5; ++i) {
        for (std::size_t k = 0; k < 2; ++k) {
            const double cut = k == 0 ? -1.0 : -0.4;
            include(i, k) = p.similarity[i] >= cut;
            exclude(i, k) = p.similarity[i] < cut;
            EXPECT_EQ((*results.include)(i, k), include(i, k));
        }
    }
    auto want = psr_weights::psr_weights_include_exclude(include, exclude, p.relevance, 4.0);
    ASSERT_TRUE(want.has_value());
    for (std::size_t i = 0; i < 5; ++i) {
        for (std::size_t k = 0; k < 2; ++k) {
            EXPECT_EQ((*results.weights)(i, k), want->weights(i, k));
            EXPECT_EQ((*results.weights_excluded)(i, k), want->weights_excluded(i, k));
        }
    }
    const auto& aux = *results.auxiliary;
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(aux.phi[k], want->details.phi[k]);
        EXPECT_EQ(aux.lambda_sq[k], want->details.lambda_sq[k]);
        EXPECT_EQ(aux.full_var[k], want->details.full_var[k]);
        EXPECT_EQ(aux.part_var[k], want->details.part_var[k]);
        EXPECT_TRUE(std::isnan(aux.rho[k]));  // not this routine's
    }
    // The spread of the weights is the pipeline's, from a pass of its own.
    EXPECT_FALSE(results.insights->weights_concentration.has_value());
    EXPECT_FALSE(out->summary.has_value());
}

TEST(PredictionWeights, WithoutWeightsTheSummaryTakesTheirPlace) {
    PredictionResults results = fresh(2);
    RunSpec r;
    r.thresholds = Vector{2.0, 3.0};
    r.weights = false;
    const PrecomputedInsights p = sample_insights();
    auto out = run(results, InsightSource::borrowed(p), r);
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(results.include.has_value());
    EXPECT_FALSE(results.weights.has_value());
    EXPECT_FALSE(results.weights_excluded.has_value());
    EXPECT_FALSE(results.insights->weights_concentration.has_value());
    ASSERT_TRUE(results.auxiliary.has_value());
    ASSERT_TRUE(out->summary.has_value());
    const auto& s = *out->summary;
    auto want = psr_weights::psr_eval_include_exclude(*results.include, s.exclude, p.relevance, 4.0);
    ASSERT_TRUE(want.has_value());
    EXPECT_EQ(s.eval.n_total, 4.0);  // the rows with a relevance
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(s.eval.include_side.lambda_sq[k], want->include_side.lambda_sq[k]);
        EXPECT_EQ(s.eval.exclude_side.part_mean[k], want->exclude_side.part_mean[k]);
        for (std::size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(s.exclude(i, k), p.relevance[i] < r.thresholds[k]);  // NaN in neither mask
        }
    }
}

TEST(PredictionWeights, ABorrowedSourceIsLeftAsItWas) {
    const PrecomputedInsights p = sample_insights();
    for (int pass = 0; pass < 2; ++pass) {
        PredictionResults results = fresh(1);
        RunSpec r;
        r.type = pass == 0 ? CensorType::Relevance : CensorType::Similarity;
        r.thresholds = Vector{pass == 0 ? 2.0 : -1.0};
        auto out = run(results, InsightSource::borrowed(p), r);
        ASSERT_TRUE(out.has_value());
        ASSERT_EQ(p.relevance.size(), 5u);
        ASSERT_EQ(p.similarity.size(), 5u);
        EXPECT_EQ(p.info_theta[0], 0.7);
        EXPECT_EQ((*results.insights->relevance)[4], 5.0);
        EXPECT_EQ((*results.insights->similarity)[4], -3.0);
        EXPECT_EQ((*results.insights->info_x)[4], 0.5);
        EXPECT_EQ((*results.insights->info_theta)[0], 0.7);
    }
}

// The pipeline refuses both censor types before it comes here; a run that
// still asks for them is a broken promise, and nothing is written.
TEST(PredictionWeights, CensorTypeBothIsAnInternalFaultBeforeAnythingIsWritten) {
    PredictionResults results = fresh(1);
    RunSpec r;
    r.type = CensorType::Both;
    EXPECT_THROW(run(results, InsightSource::owned(sample_insights()), r), toolbox::Fault);
    EXPECT_FALSE(results.include.has_value());
    EXPECT_FALSE(results.auxiliary.has_value());
    EXPECT_FALSE(results.insights.has_value());
}

TEST(PredictionWeights, ComputedInsightsMatchTheRelevanceOfTheData) {
    // Complete data: the inverse covariance given or derived gives the same run.
    const Matrix x = {{1.0, 2.0}, {2.0, 1.0}, {3.0, 0.5}, {2.0, 2.5}, {0.5, 1.5}, {1.5, 0.0}};
    const Vector theta = {1.5, 1.0};
    const auto [mean, count] = toolbox::matrix::covariance::average_with_n(x, false);
    auto inv = toolbox::matrix::inversion::inv_with_method(toolbox::matrix::covariance::nancov(x, false).view(),
                                                           toolbox::enums::InversionMethod::Gaussian);
    ASSERT_TRUE(inv.has_value());
    auto rel = toolbox::qel::insights::relevance(x, theta, mean.view(), inv->view());
    ASSERT_TRUE(rel.has_value());
    const Vector thr = {0.0};
    for (bool given : {false, true}) {
        PredictionResults results = PredictionResults::create(6, 2, 1, thr);
        std::optional<toolbox::matrix::MatView> cov_inv;
        if (given) cov_inv = inv->view();
        const CensorSettings censor{CensorType::Relevance, CensorOperator::GreaterThanOrEqual, CensorUnit::Score,
                                    thr.view()};
        auto out = prediction_weights_with_insights(results, x, theta, censor, cov_inv, InsightSource::compute(),
                                                    true, MissingMoments::Pairwise);
        ASSERT_TRUE(out.has_value());
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ((*results.insights->relevance)[i], rel->relevance[i]) << given;
            EXPECT_EQ((*results.insights->info_x)[i], rel->info_x[i]) << given;
        }
        EXPECT_EQ((*results.insights->info_theta)[0], rel->info_theta[0]);
    }
}

// Without a given inverse the run inverts the covariance itself; a pairwise
// one that is indefinite fails it as an internal fault, as a failed
// inversion does, before anything is stored.
TEST(PredictionWeights, AComputedInverseOfAnIndefinitePairwiseCovarianceIsAnInternalFault) {
    // Each pair of columns is observed together on its own rows only.
    const Matrix x{{1, 1, kNaN}, {2, 2, kNaN}, {3, 3, kNaN}, {kNaN, 1, 1}, {kNaN, 2, 2},
                   {kNaN, 3, 3}, {1, kNaN, 3}, {2, kNaN, 2}, {3, kNaN, 1}};
    const Vector theta = {2.0, 2.0, 2.0};
    const Vector thr = {0.5};
    PredictionResults results = PredictionResults::create(9, 3, 1, thr);
    const CensorSettings censor{CensorType::Relevance, CensorOperator::GreaterThanOrEqual, CensorUnit::Percent,
                                thr.view()};
    const auto out = prediction_weights_with_insights(results, x, theta, censor, std::nullopt,
                                                      InsightSource::compute(), true, MissingMoments::Pairwise);
    ASSERT_FALSE(out.has_value());
    EXPECT_TRUE(out.error().message.starts_with("Failed to invert covariance matrix: covariance of X is indefinite"))
        << out.error().message;
    EXPECT_TRUE(out.error().internal_fault);
    EXPECT_FALSE(results.include.has_value());
}

}  // namespace
