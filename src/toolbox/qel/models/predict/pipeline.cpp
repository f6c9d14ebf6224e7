#include "toolbox/qel/models/predict/pipeline.hpp"

#include <cmath>
#include <utility>

#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/models/binary/binary.hpp"
#include "toolbox/qel/results/mutators.hpp"

namespace toolbox::qel::models::predict::pipeline {

using matrix::Vector;
namespace solo_dist = insights::solo_distributions;

namespace {

double adj_fit_factor(enums::AdjFitMultiplier m, double k) {
    switch (m) {
        case enums::AdjFitMultiplier::Identity: return 1.0;
        case enums::AdjFitMultiplier::K: return k;
        default: return std::log(1.0 + k);
    }
}

}  // namespace

bool WeighedRun::side_by_side() const { return x.rows() >= parallel::kParallelRowsFrom; }

Result<solo_dist::SoloDistributionParts> solo_distribution_of(const WeighedRun& run) {
    if (!run.results.insights->info_theta) return compute_error("Info theta not available in results");
    return solo_dist::compute_solo_distribution(run.y, run.relevance, run.include,
                                                run.results.insights->info_theta->view());
}

Result<PredictionsAndSolo> predictions_and_solo(const WeighedRun& run, Vector yhat,
                                                std::optional<solo_dist::SoloDistributionParts> parts) {
    const bool logistic = run.options.prediction_scale == enums::PredictionScale::Logistic;
    PredictionsAndSolo out;
    if (!parts) {
        if (logistic) {
            auto p = binary::logistic_probability_from_yhat(run.y, run.x, yhat.view(), run.cov_inv);
            if (!p) return std::unexpected(std::move(p.error()));
            yhat = std::move(*p);
        }
        out.yhat = std::move(yhat);
        return out;
    }
    SoloOutcome s;
    s.y_solo = std::move(parts->y_solo);
    s.xi_solo = std::move(parts->xi_solo);
    if (logistic) {
        auto p = binary::logistic_probabilities(run.y, run.x, yhat.view(), s.y_solo.view(), run.cov_inv);
        if (!p) return std::unexpected(std::move(p.error()));
        yhat = std::move(p->first);
        s.y_solo = std::move(p->second);
    }
    // The moments and the histogram read the same solo distribution and are
    // independent of each other; for many rows they run side by side.
    std::optional<Result<results::SoloDistributionStatistics>> moments;
    parallel::join_if(
        s.y_solo.size() >= parallel::kParallelRowsFrom,
        [&] { moments.emplace(solo_dist::solo_statistics_record(s.y_solo.view(), s.xi_solo.view(), yhat.view())); },
        [&] {
            if (!run.parts.ysolo_histogram) return;
            // A histogram that cannot be built is left out; the prediction stands.
            auto h = solo_dist::compute_ysolo_summary(s.y_solo.view(), s.xi_solo.view(),
                                                      stats::histogram::kOutlierFactor);
            if (h) s.histogram = std::move(*h);
        });
    if (!*moments) return std::unexpected(std::move(moments->error()));
    s.statistics = std::move(**moments);
    out.yhat = std::move(yhat);
    out.solo = std::move(s);
    return out;
}

Vector store_predictions(WeighedRun& run, PredictionsAndSolo predicted, insights::asymmetry::AsymmetryResult fits) {
    results::PredictionResults& results = run.results;
    if (predicted.solo) {
        results::SoloDistributionStatistics& s = results::get_or_alloc_solo_statistics(results);
        s = std::move(predicted.solo->statistics);
        results.solo_distribution->y_solo = std::move(predicted.solo->y_solo);
        results.solo_distribution->xi_solo = std::move(predicted.solo->xi_solo);
        results.solo_distribution->ysolo_distribution = std::move(predicted.solo->histogram);
    }

    const std::size_t t = results.num_thresholds;
    const std::size_t k_vars = run.x.cols();
    const double kf = static_cast<double>(k_vars);
    const enums::AdjFitMultiplier multiplier = run.options.adj_fit_multiplier;
    const double m = adj_fit_factor(multiplier, kf);
    const Vector& fit = fits.stats.fit;
    Vector adjusted = Vector::uninit(t);
    Vector k_fit = Vector::uninit(t);
    for (std::size_t k = 0; k < t; ++k) {
        const double sum = fit[k] + fits.asymmetry[k];
        adjusted[k] = multiplier == enums::AdjFitMultiplier::Identity ? sum : sum * m;
        k_fit[k] = fit[k] * kf;
    }

    results.core.yhat = std::move(predicted.yhat);
    results.core.fit = std::move(fits.stats.fit);
    results.core.asymmetry = std::move(fits.asymmetry);
    results.core.adjusted_fit = adjusted;
    results.core.k_fit = std::move(k_fit);
    results.core.agreement = std::move(fits.stats.agreement);
    results.core.outlier_influence = std::move(fits.stats.outlier_influence);

    results::PredictionAuxiliaryInfo& aux = results::get_or_alloc_auxiliary(results);
    aux.n = results::to_counts(fits.stats.n);
    aux.k = results::CountVector(t, k_vars);
    return adjusted;
}

}  // namespace toolbox::qel::models::predict::pipeline
