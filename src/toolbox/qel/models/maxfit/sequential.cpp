#include <utility>

#include "toolbox/qel/models/maxfit/maxfit.hpp"
#include "toolbox/stats/linear_regression.hpp"

namespace toolbox::qel::models::maxfit {

Result<MaxFitCandidate> predict_maxfit_sequential(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                  const config::MaxFitOptions& options) {
    auto setup = setup_common(y, x, theta, options);
    if (!setup) return std::unexpected(std::move(setup.error()));

    std::vector<MaxFitCandidate> candidates;
    for (enums::CensorType censor : censor_types_of(options.predict)) {
        auto candidate = execute_single_censor(*setup, censor);
        if (!candidate) return std::unexpected(std::move(candidate.error()));
        candidates.push_back(std::move(*candidate));
    }

    auto best = select_best_result(std::move(candidates), options.objective);
    if (!best) return std::unexpected(std::move(best.error()));

    if (options.predict.prediction_scale == enums::PredictionScale::Logistic) {
        auto mapped = apply_maxfit_logistic(y, x, best->value, best->results, setup->cov_inv.view());
        if (!mapped) return std::unexpected(std::move(mapped.error()));
    }
    // On the response scale, whatever the prediction scale.
    if (options.predict.include_linear_regression) {
        auto v = stats::linear_regression::direct_linear_regression(y, x, theta);
        if (!v) return std::unexpected(std::move(v.error()));
        best->results.core.yhat_linear = matrix::Vector{*v};
    }
    return best;
}

}  // namespace toolbox::qel::models::maxfit
