// The search runs through the C interface, at the sizes their speed is
// judged by.
//
//   taskset -c 0 bench_search --benchmark_filter=GridSequential   (one core)
//   taskset -c 0-3 bench_search --benchmark_filter=GridOnPool     (four cores)
//   bench_search --benchmark_filter=MaxFit                        (every core)
//
// Grid: a run over every combination of K attributes (its limit raised to
// all 2^K - 1 of them), four thresholds, both censor types; sequential
// (inner parallel off) or, from 5,000 rows on, on the worker pool (inner
// parallel automatic). MaxFit: both censor types on the worker pool (inner
// parallel automatic), four thresholds. The first call of a process, which
// Google Benchmark does not time apart, is search_run's to time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>

#include "host_sample.hpp"
#include "qelcore.h"

namespace {

const double kThresholds[] = {0.0, 0.2, 0.5, 0.8};

// Times `call` on a sample of N rows and K attributes with `opts`, which it
// releases at the end.
template <class Options, class Call>
void run_search(benchmark::State& state, Options* opts, Call call, void (*release)(Options*)) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto k = static_cast<std::size_t>(state.range(1));
    const test_support::Sample s = test_support::linear_sample(n, k);
    for (auto _ : state) {
        QelPredictionResults* res = nullptr;
        if (call(s.y.data(), n, s.x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), k, opts, &res) != 0) {
            state.SkipWithError(qel_last_error());
            break;
        }
        benchmark::DoNotOptimize(res);
        qel_prediction_results_free(res);
    }
    release(opts);
}

void run_grid(benchmark::State& state, const char* inner) {
    QelGridOptions* opts = qel_grid_options_create();
    qel_grid_options_set_threshold(opts, kThresholds, 4);
    qel_grid_options_set_censor_type_str(opts, "both");
    qel_grid_options_set_inner_parallel_str(opts, inner);
    const std::size_t combinations = (std::size_t{1} << state.range(1)) - 1;
    qel_grid_options_set_max_iter(opts, std::max<std::size_t>(1000, combinations));
    state.counters["cells"] = static_cast<double>(combinations * 2);
    run_search(state, opts, qel_grid, qel_grid_options_free);
}

void BM_GridSequential(benchmark::State& state) { run_grid(state, "off"); }
void BM_GridOnPool(benchmark::State& state) { run_grid(state, "auto"); }

void BM_MaxFitBoth(benchmark::State& state) {
    QelMaxFitOptions* opts = qel_maxfit_options_create();
    qel_maxfit_options_set_threshold(opts, kThresholds, 4);
    qel_maxfit_options_set_censor_type_str(opts, "both");
    run_search(state, opts, qel_maxfit, qel_maxfit_options_free);
}

}  // namespace

BENCHMARK(BM_GridSequential)
    ->Args({20'000, 8})
    ->ArgNames({"N", "K"})
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_GridOnPool)
    ->Args({5'000, 10})
    ->ArgNames({"N", "K"})
    ->MinWarmUpTime(0.5)
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_MaxFitBoth)
    ->Args({1'000'000, 20})
    ->ArgNames({"N", "K"})
    ->MinWarmUpTime(1.0)
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
