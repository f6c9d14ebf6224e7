// The steps both max-fit drivers share: setup, one censor type's pass, the
// choice between passes and the logistic scale of the winner.
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>

#include "toolbox/matrix/covariance.hpp"
#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"
#include "toolbox/qel/models/binary/binary.hpp"
#include "toolbox/qel/models/inputs/inputs.hpp"
#include "toolbox/qel/models/maxfit/maxfit.hpp"
#include "toolbox/qel/models/predict/predict.hpp"
#include "toolbox/qel/results/mutators.hpp"

namespace toolbox::qel::models::maxfit {

using matrix::MatView;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;
using results::PredictionResults;

namespace {

constexpr const char* kInverseNotFinite =
    "inverse covariance of X is not finite (the covariance is too close to singular)";

}  // namespace

Result<MaxFitSetup> setup_common(VecView y, MatView x, VecView theta, const config::MaxFitOptions& options) {
    if (auto usable = inputs::check_model_inputs(y, theta, options.predict.prediction_scale,
                                                 inputs::TargetRule::EveryAttribute);
        !usable) {
        return std::unexpected(std::move(usable.error()));
    }
    MaxFitSetup setup;
    // The column means of the relevance, when the covariance's own pass has
    // them.
    std::optional<matrix::covariance::MeanAndN> means;
    // Covariance and inversion once per run, not once per censor type.
    if (options.predict.cov_inv) {
        setup.cov_inv = Matrix::from(options.predict.cov_inv->view());
    } else {
        if (auto spread = inputs::check_constant_columns(x, options.predict.inv_method); !spread)
            return std::unexpected(std::move(spread.error()));
        // By the missing-moments rule, as the pipeline takes it (on complete
        // data, the plain sample covariance). Not finite (a single
        // observation, an overflowing attribute, too few observed values),
        // it is refused as the pipeline refuses it.
        auto [cov, m, pairwise] = matrix::covariance::nancov_with_means(
            x, options.predict.missing_moments == enums::MissingMoments::Complete);
        if (auto finite = predict::check_covariance_finite(cov.view()); !finite) {
            return std::unexpected(std::move(finite.error()));
        }
        if (pairwise) {
            if (auto definite = matrix::covariance::check_pairwise_definite(cov.view()); !definite)
                return std::unexpected(std::move(definite.error()));
        }
        means = std::move(m);
        auto inverse = matrix::covariance::invert_cov(cov.view(), options.predict.inv_method);
        if (!inverse) return std::unexpected(std::move(inverse.error()));
        setup.cov_inv = std::move(*inverse);
        // A covariance too close to singular can still invert to infinities,
        // which would spread into every relevance.
        for (double v : setup.cov_inv.flat()) {
            if (!std::isfinite(v)) return compute_error(kInverseNotFinite);
        }
    }
    setup.thresholds = config::threshold_or_default_range(options.predict);
    setup.y = y;
    setup.x = x;
    setup.theta = theta;
    setup.objective = options.objective;
    setup.predict = options.predict;
    setup.inner_parallel = options.inner_parallel;
    // Relevance and similarity do not depend on the censor type: two passes
    // read the same measures, computed once.
    if (options.predict.censor_type == enums::CensorType::Both) {
        auto shared = insights::weights::prediction_weights::insights_from_data(
            x, theta, setup.cov_inv.view(), options.predict.missing_moments, means ? &*means : nullptr);
        if (!shared) return std::unexpected(std::move(shared.error()));
        setup.shared_insights = std::move(*shared);
    }
    return setup;
}

std::vector<enums::CensorType> censor_types_of(const config::PredictOptions& predict) {
    if (predict.censor_type == enums::CensorType::Both) {
        return {enums::CensorType::Relevance, enums::CensorType::Similarity};
    }
    return {predict.censor_type};
}

const Vector& objective_scores(const PredictionResults& results, enums::MaxFitObjective objective) {
    switch (objective) {
        case enums::MaxFitObjective::Fit: return results.core.fit;
        case enums::MaxFitObjective::AdjustedFit: return results.core.adjusted_fit;
        case enums::MaxFitObjective::KFit: return results.core.k_fit;
    }
    fault("max-fit objective out of range");
}

std::size_t best_threshold_index(VecView scores) {
    require(scores.size() > 0, "max-fit: no threshold to choose from");
    std::size_t g = 0;
    double best = scores[0];
    for (std::size_t i = 1; i < scores.size(); ++i) {
        const double v = scores[i];
        if (std::isnan(best) || (!std::isnan(v) && v >= best)) {
            best = v;
            g = i;
        }
    }
    return g;
}

std::size_t choose_threshold(VecView scores, bool verbose) {
    if (verbose) {
        bool any_number = false;
        for (std::size_t i = 0; i < scores.size(); ++i) any_number = any_number || !std::isnan(scores[i]);
        if (!any_number) {
            std::fputs("All-NaN slice encountered!\n", stdout);
            std::fflush(stdout);
        }
    }
    return best_threshold_index(scores);
}

Result<MaxFitCandidate> execute_single_censor(const MaxFitSetup& setup, enums::CensorType censor) {
    // The response scale and no linear regression: both are applied once, to
    // the winner. The thresholds stay those of the options, which
    // `setup.thresholds` holds.
    config::PredictOptions inner = config::for_inner_search_cell(setup.predict);
    inner.censor_type = censor;
    inner.cov_inv = Matrix::from(setup.cov_inv.view());

    const auto source = setup.shared_insights ? predict::InsightSource::borrowed(*setup.shared_insights)
                                              : predict::InsightSource::compute();
    auto run = predict::predict_inner_with_insights(setup.y, setup.x, setup.theta, inner, source,
                                                    {.ysolo_histogram = false, .finite_scores_required = true});
    if (!run) return std::unexpected(std::move(run.error()));
    PredictionResults results = std::move(run->results);

    const std::size_t g = choose_threshold(objective_scores(results, setup.objective).view(), setup.predict.verbose);
    require(g < results.core.yhat.size(), "max-fit: chosen threshold beyond the predictions");
    Vector value{results.core.yhat[g]};

    const std::size_t t = results.num_thresholds;
    Vector one_hot(t, 0.0);
    require(g < t && g < setup.thresholds.size(), "max-fit: chosen threshold beyond the thresholds");
    one_hot[g] = 1.0;
    results.maxfit_index = std::move(one_hot);
    results.thresholds = Vector{setup.thresholds[g]};
    results.num_thresholds = 1;
    results::select_threshold(results, g);
    return MaxFitCandidate{std::move(value), std::move(results)};
}

Result<MaxFitCandidate> select_best_result(std::vector<MaxFitCandidate> candidates, enums::MaxFitObjective objective) {
    if (candidates.empty()) return compute_error("No results to select from");
    if (candidates.size() == 1) return std::move(candidates.front());

    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    double best_score = kNaN;
    std::size_t best = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const Vector& scores = objective_scores(candidates[i].results, objective);
        const double score = scores.size() > 0 ? scores[0] : kNaN;
        if (std::isnan(score)) continue;
        if (std::isnan(best_score) || score > best_score) {
            best_score = score;
            best = i;
        }
    }
    return std::move(candidates[best]);
}

Result<void> apply_maxfit_logistic(VecView y, MatView x, Vector& value, PredictionResults& results, MatView cov_inv) {
    // The chosen value and the solo predictions by one scale.
    results::SoloDistribution* solo =
        results.solo_distribution && results.solo_distribution->y_solo ? &*results.solo_distribution : nullptr;
    auto pq = binary::logistic_probabilities(y, x, value.view(), solo ? solo->y_solo->view() : VecView(), cov_inv);
    if (!pq) return std::unexpected(std::move(pq.error()));
    value = std::move(pq->first);
    results.core.yhat = Vector::from(value.view());
    if (solo) {
        Vector& q = pq->second;
        if (solo->xi_solo) {
            auto st = insights::solo_distributions::solo_statistics_record(q.view(), solo->xi_solo->view(),
                                                                          value.view());
            if (!st) return std::unexpected(std::move(st.error()));
            solo->statistics = std::move(*st);
        }
        solo->y_solo = std::move(q);
    }
    return {};
}

}  // namespace toolbox::qel::models::maxfit
