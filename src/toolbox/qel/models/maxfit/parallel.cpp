#include <optional>
#include <utility>

#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/models/maxfit/maxfit.hpp"
#include "toolbox/stats/linear_regression.hpp"

namespace toolbox::qel::models::maxfit {

namespace {

std::unexpected<ComputeError> prefixed(const char* prefix, const ComputeError& error) {
    return compute_error(std::string(prefix) + error.message);
}

}  // namespace

Result<MaxFitCandidate> predict_maxfit_parallel(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                const config::MaxFitOptions& options) {
    auto setup = setup_common(y, x, theta, options);
    if (!setup) return prefixed("Setup error: ", setup.error());

    // One task per censor type on the pool, each writing only its own slot;
    // the setup is shared read-only. The slots are gathered in censor order,
    // so a tie and a double failure resolve the same way on every run.
    const std::vector<enums::CensorType> censors = censor_types_of(options.predict);
    std::vector<std::optional<Result<MaxFitCandidate>>> slots(censors.size());
    const MaxFitSetup& shared = *setup;
    parallel::parallel_for(0, censors.size(), 1,
                           [&](std::size_t i) { slots[i].emplace(execute_single_censor(shared, censors[i])); });

    std::vector<MaxFitCandidate> candidates;
    for (auto& slot : slots) {
        if (!*slot) {
            return compute_error("Parallel execution error: Execution error: " + slot->error().message);
        }
        candidates.push_back(std::move(**slot));
    }
    slots.clear();

    auto best = select_best_result(std::move(candidates), options.objective);
    if (!best) return prefixed("Selection error: ", best.error());

    if (options.predict.prediction_scale == enums::PredictionScale::Logistic) {
        auto mapped = apply_maxfit_logistic(y, x, best->value, best->results, setup->cov_inv.view());
        if (!mapped) return prefixed("Logistic remap error: ", mapped.error());
    }
    if (options.predict.include_linear_regression) {
        auto v = stats::linear_regression::direct_linear_regression(y, x, theta);
        if (!v) return prefixed("Linear regression error: ", v.error());
        best->results.core.yhat_linear = matrix::Vector{*v};
    }
    return best;
}

}  // namespace toolbox::qel::models::maxfit
