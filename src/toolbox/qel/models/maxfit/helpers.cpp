// The steps both max-fit drivers share: setup, one censor type's pass, the
// choice between passes and the logistic scale of the winner.
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "toolbox/format.hpp"
#include "toolbox/matrix/covariance.hpp"
#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"
#include "toolbox/qel/models/binary/binary.hpp"
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

bool is_objective(const std::string& text) {
    return text == "fit" || text == "adjusted_fit" || text == "kfit";
}

}  // namespace

Result<MaxFitSetup> setup_common(VecView y, MatView x, VecView theta, const config::MaxFitOptions& options) {
    if (!is_objective(options.objective)) {
        return compute_error(
            format("psr:optimal_models:predict_maxfit: objective must be either 'fit', 'adjusted_fit' or 'kfit', {} "
                   "was specified instead.",
                   options.objective));
    }
    MaxFitSetup setup;
    setup.x = Matrix::from(x);
    // Covariance and inversion once per run, not once per censor type.
    if (options.predict.cov_inv) {
        setup.cov_inv = Matrix::from(options.predict.cov_inv->view());
    } else {
        // The plain sample covariance is NaN wherever X holds a missing value
        // (everywhere for a single observation) and infinite where an
        // attribute overflows; it is refused as the pipeline refuses it.
        const Matrix cov = matrix::covariance::cov(setup.x.view());
        if (auto finite = predict::check_covariance_finite(cov.view()); !finite) {
            return std::unexpected(std::move(finite.error()));
        }
        setup.cov_inv = matrix::covariance::invert_cov(cov.view(), options.predict.inv_method);
        // A covariance too close to singular can still invert to infinities,
        // which would spread into every relevance.
        for (double v : setup.cov_inv.flat()) {
            if (!std::isfinite(v)) return compute_error(kInverseNotFinite);
        }
    }
    setup.thresholds = config::threshold_or_default_range(options.predict);
    setup.y = Vector::from(y);
    setup.theta = Vector::from(theta);
    setup.objective = options.objective;
    setup.predict = options.predict;
    setup.inner_parallel = options.inner_parallel;
    return setup;
}

std::vector<enums::CensorType> censor_types_of(const config::PredictOptions& predict) {
    if (predict.censor_type == enums::CensorType::Both) {
        return {enums::CensorType::Relevance, enums::CensorType::Similarity};
    }
    return {predict.censor_type};
}

const Vector* objective_scores(const PredictionResults& results, const std::string& objective) {
    if (objective == "fit") return &results.core.fit;
    if (objective == "adjusted_fit") return &results.core.adjusted_fit;
    if (objective == "kfit") return &results.core.k_fit;
    return nullptr;
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
    // the winner.
    config::PredictOptions inner = config::for_inner_search_cell(setup.predict);
    inner.censor_type = censor;
    inner.threshold = Vector::from(setup.thresholds.view());
    inner.cov_inv = Matrix::from(setup.cov_inv.view());

    auto run = predict::predict_inner_with_insights(setup.y.view(), setup.x.view(), setup.theta.view(), inner,
                                                    predict::InsightSource::compute(), {.ysolo_histogram = false});
    if (!run) return std::unexpected(std::move(run.error()));
    PredictionResults results = std::move(run->results);

    const Vector* scores = objective_scores(results, setup.objective);
    if (scores == nullptr) return compute_error("Invalid objective");

    const std::size_t g = choose_threshold(scores->view(), setup.predict.verbose);
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

Result<MaxFitCandidate> select_best_result(std::vector<MaxFitCandidate> candidates, const std::string& objective) {
    if (candidates.empty()) return compute_error("No results to select from");
    if (candidates.size() == 1) return std::move(candidates.front());

    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    double best_score = kNaN;
    std::size_t best = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const Vector* scores = objective_scores(candidates[i].results, objective);
        const double score = scores != nullptr && scores->size() > 0 ? (*scores)[0] : kNaN;
        if (std::isnan(score)) continue;
        if (std::isnan(best_score) || score > best_score) {
            best_score = score;
            best = i;
        }
    }
    return std::move(candidates[best]);
}

Result<void> apply_maxfit_logistic(VecView y, MatView x, Vector& value, PredictionResults& results, MatView cov_inv) {
    auto p = binary::logistic_probability_from_yhat(y, x, value.view(), cov_inv);
    if (!p) return std::unexpected(std::move(p.error()));
    value = std::move(*p);
    results.core.yhat = Vector::from(value.view());

    if (results.solo_distribution && results.solo_distribution->y_solo) {
        results::SoloDistribution& solo = *results.solo_distribution;
        auto q = binary::logistic_probability_from_yhat(y, x, solo.y_solo->view(), cov_inv);
        if (!q) return std::unexpected(std::move(q.error()));
        if (solo.xi_solo) {
            auto st = insights::solo_distributions::solo_statistics_record(q->view(), solo.xi_solo->view(),
                                                                          value.view());
            if (!st) return std::unexpected(std::move(st.error()));
            solo.statistics = std::move(*st);
        }
        solo.y_solo = std::move(*q);
    }
    return {};
}

}  // namespace toolbox::qel::models::maxfit
