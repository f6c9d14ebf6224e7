// The steps of the prediction pipeline after its weights step, which its two
// drivers share: one for materialised weights, one for the streamed path.
// Either reads what the weights step stored, forms the predictions, the
// solo distribution and the fit statistics its own way, and leaves them to
// the same last step.
#pragma once

#include <cstddef>
#include <optional>

#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/insights/asymmetry/asymmetry.hpp"
#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"
#include "toolbox/qel/models/config/predict_options.hpp"
#include "toolbox/qel/models/predict/predict.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::predict::pipeline {

// One run once its weights are formed: its data and settings, the results
// store the weights step filled, and what every later step reads of it.
struct WeighedRun {
    matrix::VecView y;
    matrix::MatView x;
    const config::PredictOptions& options;
    const PipelineParts& parts;
    matrix::MatView cov_inv;
    results::PredictionResults& results;
    matrix::VecView relevance;
    matrix::BoolMatView include;
    // Retained observations per threshold.
    matrix::VecView n_retained;

    // With many rows, independent steps run side by side on the pool.
    bool side_by_side() const;
};

// What the solo step leaves for the results store.
struct SoloOutcome {
    matrix::Vector y_solo;
    matrix::Matrix xi_solo;
    results::SoloDistributionStatistics statistics;
    std::optional<results::YSoloDistributionSummary> histogram;
};

// The predictions on their scale and, when the run asks for it, the solo
// distribution with its statistics.
struct PredictionsAndSolo {
    matrix::Vector yhat;
    std::optional<SoloOutcome> solo;
};

// The solo distribution of the run (its solo predictions and weights).
Result<insights::solo_distributions::SoloDistributionParts> solo_distribution_of(const WeighedRun& run);

// The predictions `yhat` on the run's scale and, given the solo
// distribution, its statistics and, when the run asks for it, its histogram.
Result<PredictionsAndSolo> predictions_and_solo(const WeighedRun& run, matrix::Vector yhat,
                                                std::optional<insights::solo_distributions::SoloDistributionParts> solo);

// The last step of either driver: stores the predictions, the solo
// distribution, the fit statistics with the adjusted fit and K-fit, and the
// retained and attribute counts. Returns the adjusted fit.
matrix::Vector store_predictions(WeighedRun& run, PredictionsAndSolo predicted,
                                 insights::asymmetry::AsymmetryResult fits);

// The drivers: from the weights step to a filled results store.
Result<void> run_materialised(WeighedRun& run);
Result<insights::weights::psr_weights::CellAdjFitWeights> run_streamed(
    WeighedRun& run, const insights::weights::psr_weights::GridPsrSummary& summary);

}  // namespace toolbox::qel::models::predict::pipeline
