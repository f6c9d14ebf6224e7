// A whole-process view of qel_predict, for profilers and for timing the first
// call, the steady state and a call after an idle pause, with the memory a
// call needs above its inputs.
//
//   predict_run N K T [calls] [idle_seconds] [nan_share]
//
// Thresholds are T values spread evenly over [0, 0.9] (T = 4: 0.0, 0.2, 0.5,
// 0.8). Prints one line per call and a summary. The peak is the resident
// high-water mark of the calls alone (reset after the sample is built), minus
// the resident size before them; the page faults per steady call are the
// process's minor faults (pages it touched afresh) over the calls after the
// first, divided by their number.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <sys/resource.h>

#include "host_sample.hpp"
#include "resident_memory.hpp"
#include "qelcore.h"

using test_support::reset_peak;
using test_support::status_kib;

namespace {

long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s N K T [calls] [idle_seconds] [nan_share]\n", argv[0]);
        return 2;
    }
    const std::size_t n = std::strtoull(argv[1], nullptr, 10);
    const std::size_t k = std::strtoull(argv[2], nullptr, 10);
    const std::size_t t = std::strtoull(argv[3], nullptr, 10);
    const int calls = argc > 4 ? std::atoi(argv[4]) : 5;
    const double idle = argc > 5 ? std::atof(argv[5]) : 0.0;
    const double nan_share = argc > 6 ? std::atof(argv[6]) : 0.0;

    const test_support::Sample sample = test_support::linear_sample(n, k, 12345, nan_share);
    const std::vector<double>& x = sample.x;
    const std::vector<double>& y = sample.y;
    const std::vector<double>& theta = sample.theta;
    std::vector<double> thr(t);
    if (t == 4) {
        thr = {0.0, 0.2, 0.5, 0.8};
    } else {
        for (std::size_t i = 0; i < t; ++i) thr[i] = t == 1 ? 0.5 : 0.9 * static_cast<double>(i) / static_cast<double>(t - 1);
    }
    QelPredictOptions* opts = qel_predict_options_create();
    qel_predict_options_set_threshold(opts, thr.data(), thr.size());

    reset_peak();
    const long base = status_kib("VmRSS:");
    std::vector<double> ms;
    long faults_after_first = 0;
    long faults_before_idle = 0;
    for (int c = 0; c < calls; ++c) {
        if (c == 1) faults_after_first = minor_faults();
        if (c == calls - 1 && idle > 0.0) {
            faults_before_idle = minor_faults();
            std::this_thread::sleep_for(std::chrono::duration<double>(idle));
        }
        QelPredictionResults* res = nullptr;
        const auto t0 = std::chrono::steady_clock::now();
        const int32_t st = qel_predict(y.data(), n, x.data(), n, k, QEL_LAYOUT_ROW_MAJOR, theta.data(), k, opts, &res);
        const auto t1 = std::chrono::steady_clock::now();
        if (st != 0) {
            std::fprintf(stderr, "status %d: %s\n", st, qel_last_error());
            return 1;
        }
        std::vector<double> yhat(t);
        qel_results_copy_yhat(res, yhat.data(), yhat.size());
        const double first = yhat[0];
        qel_prediction_results_free(res);
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        std::printf("call %d: %.3f ms (yhat[0] %.17g)\n", c, ms.back(), first);
    }
    const long faults_end = idle > 0.0 && calls > 2 ? faults_before_idle : minor_faults();
    const int steady_calls = calls - 1 - (idle > 0.0 && calls > 2 ? 1 : 0);
    const long peak = status_kib("VmHWM:");
    std::vector<double> steady(ms.begin() + (calls > 1 ? 1 : 0), ms.end() - (idle > 0.0 && calls > 2 ? 1 : 0));
    std::sort(steady.begin(), steady.end());
    const double x_mib = static_cast<double>(n * k) * 8.0 / (1024.0 * 1024.0);
    std::printf("first %.3f ms, steady median %.3f ms%s", ms.front(), steady[steady.size() / 2],
                idle > 0.0 ? "" : "\n");
    if (idle > 0.0) std::printf(", after %.1f s idle %.3f ms\n", idle, ms.back());
    if (steady_calls > 0) {
        std::printf("page faults per steady call %.2f\n",
                    static_cast<double>(faults_end - faults_after_first) / static_cast<double>(steady_calls));
    }
    std::printf("peak above inputs %.1f MiB = %.2f x the bytes of X (%.1f MiB)\n",
                static_cast<double>(peak - base) / 1024.0, static_cast<double>(peak - base) / 1024.0 / x_mib, x_mib);
    qel_predict_options_free(opts);
    return 0;
}
