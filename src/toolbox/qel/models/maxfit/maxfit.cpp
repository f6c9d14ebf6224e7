// The one flow of a max-fit run, taken by both drivers: setup, one pass per
// censor type, selection, the logistic scale and the linear-regression value.
// The drivers differ in where the passes run and in how they word errors.
#include "toolbox/qel/models/maxfit/maxfit.hpp"

#include <optional>
#include <string>
#include <utility>

#include "toolbox/parallel/pool.hpp"
#include "toolbox/qel/models/predict/predict.hpp"

namespace toolbox::qel::models::maxfit {

namespace {

// What a driver puts before the message of each step's error.
struct StepWording {
    const char* setup;
    const char* execution;
    const char* selection;
    const char* logistic;
    const char* linear_regression;
};

constexpr StepWording kAsItIs{"", "", "", "", ""};
constexpr StepWording kOnThePool{"Setup error: ", "Parallel execution error: Execution error: ", "Selection error: ",
                                 "Logistic remap error: ", "Linear regression error: "};

// An internal fault keeps its words: the boundary puts the call's own first.
std::unexpected<ComputeError> worded(const char* prefix, ComputeError error) {
    if (*prefix == '\0' || error.internal_fault) return std::unexpected(std::move(error));
    return compute_error(prefix + error.message);
}

// The candidate of each censor type, in censor order. In turn, the first
// failure stops the run before the next pass; on the pool every pass runs,
// each writing only its own slot of the shared, read-only setup, and the
// first failure in censor order is the one reported, so a tie and a double
// failure resolve the same way on every run.
Result<std::vector<MaxFitCandidate>> run_passes(const MaxFitSetup& setup, bool on_pool) {
    const std::vector<enums::CensorType> censors = censor_types_of(setup.predict);
    std::vector<MaxFitCandidate> candidates;
    if (!on_pool) {
        for (enums::CensorType censor : censors) {
            auto candidate = execute_single_censor(setup, censor);
            if (!candidate) return std::unexpected(std::move(candidate.error()));
            candidates.push_back(std::move(*candidate));
        }
        return candidates;
    }
    std::vector<std::optional<Result<MaxFitCandidate>>> slots(censors.size());
    parallel::parallel_for(0, censors.size(), 1,
                           [&](std::size_t i) { slots[i].emplace(execute_single_censor(setup, censors[i])); });
    for (auto& slot : slots) {
        if (!*slot) return std::unexpected(std::move(slot->error()));
        candidates.push_back(std::move(**slot));
    }
    return candidates;
}

Result<MaxFitCandidate> run_maxfit(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                   const config::MaxFitOptions& options, bool on_pool, const StepWording& words) {
    auto setup = setup_common(y, x, theta, options);
    if (!setup) return worded(words.setup, std::move(setup.error()));

    auto candidates = run_passes(*setup, on_pool);
    if (!candidates) return worded(words.execution, std::move(candidates.error()));

    auto best = select_best_result(std::move(*candidates), options.objective);
    if (!best) return worded(words.selection, std::move(best.error()));

    if (options.predict.prediction_scale == enums::PredictionScale::Logistic) {
        auto mapped = apply_maxfit_logistic(y, x, best->value, best->results, setup->cov_inv.view());
        if (!mapped) return worded(words.logistic, std::move(mapped.error()));
    }
    // On the response scale, whatever the prediction scale.
    if (options.predict.include_linear_regression) {
        auto stored = predict::store_linear_regression(best->results, y, x, theta);
        if (!stored) return worded(words.linear_regression, std::move(stored.error()));
    }
    return best;
}

}  // namespace

// No size of the input enters the choice: two censor types are always worth
// two workers.
Result<MaxFitCandidate> predict_maxfit_simple(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                              const config::MaxFitOptions& options) {
    if (options.inner_parallel == enums::InnerParallel::Auto &&
        options.predict.censor_type == enums::CensorType::Both) {
        return predict_maxfit_parallel(y, x, theta, options);
    }
    return predict_maxfit_sequential(y, x, theta, options);
}

Result<MaxFitCandidate> predict_maxfit_sequential(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                  const config::MaxFitOptions& options) {
    return run_maxfit(y, x, theta, options, false, kAsItIs);
}

Result<MaxFitCandidate> predict_maxfit_parallel(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                const config::MaxFitOptions& options) {
    return run_maxfit(y, x, theta, options, true, kOnThePool);
}

}  // namespace toolbox::qel::models::maxfit
