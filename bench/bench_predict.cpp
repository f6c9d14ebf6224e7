// qel_predict through the C interface, at the sizes its speed is judged by.
//
//   bench_predict --benchmark_counters_tabular=true
//   taskset -c 0 bench_predict      (one core: the worker pool follows the
//                                    processors the process may run on)
//
// Steady: repeated calls after a warm-up, the library's memory already in
// use. AfterIdle: each call follows a pause of five seconds. Counters: the
// peak resident memory of the calls above the resident size before them, in
// MiB and as a multiple of the bytes of X (memory kept from an earlier
// benchmark of the same process counts as already there, so run one size at
// a time, --benchmark_filter, to read them), and the pages the process
// touched afresh per call (minor page faults).
//
// Everyday sizes, one core: taskset -c 0 bench_predict --benchmark_filter='N:(5000|20000)/'
// A million rows on every core: bench_predict --benchmark_filter='N:1000000/K:20/T:4'
// (and taskset -c 0 for its one-core time).
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include <sys/resource.h>
#include <vector>

#include "host_sample.hpp"
#include "resident_memory.hpp"
#include "qelcore.h"

namespace {

using test_support::reset_peak;
using test_support::status_kib;

long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

std::vector<double> thresholds(std::size_t t) {
    if (t == 4) return {0.0, 0.2, 0.5, 0.8};
    std::vector<double> thr(t);
    for (std::size_t i = 0; i < t; ++i) thr[i] = t == 1 ? 0.5 : 0.9 * static_cast<double>(i) / static_cast<double>(t - 1);
    return thr;
}

void run_predict(benchmark::State& state, bool after_idle) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const auto k = static_cast<std::size_t>(state.range(1));
    const auto t = static_cast<std::size_t>(state.range(2));
    const test_support::Sample s = test_support::linear_sample(n, k);
    const std::vector<double> thr = thresholds(t);
    QelPredictOptions* opts = qel_predict_options_create();
    qel_predict_options_set_threshold(opts, thr.data(), thr.size());

    reset_peak();
    const long base = status_kib("VmRSS:");
    const long faults_before = minor_faults();
    for (auto _ : state) {
        if (after_idle) {
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::seconds(5));
            state.ResumeTiming();
        }
        QelPredictionResults* res = nullptr;
        if (qel_predict(s.y.data(), n, s.x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), k, opts, &res) != 0) {
            state.SkipWithError(qel_last_error());
            break;
        }
        benchmark::DoNotOptimize(res);
        qel_prediction_results_free(res);
    }
    state.counters["page_faults_per_call"] =
        benchmark::Counter(static_cast<double>(minor_faults() - faults_before), benchmark::Counter::kAvgIterations);
    const double above = static_cast<double>(status_kib("VmHWM:") - base) / 1024.0;
    state.counters["peak_above_inputs_MiB"] = above;
    state.counters["peak_over_X"] = above / (static_cast<double>(n * k) * 8.0 / (1024.0 * 1024.0));
    qel_predict_options_free(opts);
}

void BM_PredictSteady(benchmark::State& state) { run_predict(state, false); }
void BM_PredictAfterIdle(benchmark::State& state) { run_predict(state, true); }

}  // namespace

// N = 1e6, K = 20 with 4 and 12 thresholds; N = 1e5 with K = 32 and 33;
// the everyday sizes of thousands to tens of thousands of rows.
BENCHMARK(BM_PredictSteady)
    ->Args({5'000, 10, 4})
    ->Args({20'000, 10, 4})
    ->Args({1'000'000, 20, 4})
    ->Args({1'000'000, 20, 12})
    ->Args({100'000, 32, 4})
    ->Args({100'000, 33, 4})
    ->ArgNames({"N", "K", "T"})
    ->MinWarmUpTime(1.0)
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_PredictAfterIdle)
    ->Args({1'000'000, 20, 4})
    ->ArgNames({"N", "K", "T"})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
