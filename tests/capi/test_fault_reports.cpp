// What a host sees when a call fails on a covariance that only an inverse can
// serve and that the data make exactly singular: status 5, the call's own
// words, and, where the call reports it as an internal fault, one line on
// standard error. A covariance that is merely too close to singular, and any
// failure of qel_predict, are ordinary failures: no line.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host_results.hpp"
#include "qelcore.h"

// The library draws the entropy of a sampled combination list through
// getrandom; this host's own definition stands in for the C library's, and
// fails while a test asks it to.
std::atomic<bool> g_entropy_fails{false};

extern "C" __attribute__((visibility("default"))) ssize_t getrandom(void* buf, size_t len, unsigned int flags) {
    if (g_entropy_fails.load()) {
        errno = ENOSYS;
        return -1;
    }
    return syscall(SYS_getrandom, buf, len, flags);
}

namespace {

using namespace host;

const std::string kMaxfitPanic = "internal panic in qel_maxfit (often singular / ill-conditioned data)";
const std::string kInsightInversion = "failed to invert covariance (singular / ill-conditioned X)";

std::string fault_line(const std::string& context, const std::string& text) {
    return "qelcore: internal fault caught (" + context + "): " + text + "\n";
}

// A sample whose second attribute repeats the first: its covariance is
// exactly singular, and LU finds a zero pivot.
Sample twins() {
    Sample s = normal_sample(30, 2, 6);
    for (size_t i = 0; i < s.n; ++i) s.x[i * 2 + 1] = s.x[i * 2];
    return s;
}

// The third attribute is the sum of the first two: the covariance factorises,
// but its inverse would have no correct digit.
Sample summed() {
    Sample s = normal_sample(30, 3, 7);
    for (size_t i = 0; i < s.n; ++i) s.x[i * 3 + 2] = s.x[i * 3] + s.x[i * 3 + 1];
    return s;
}

int32_t maxfit(const Sample& s, const char* inner, int32_t inv_method) {
    QelMaxFitOptions* opts = qel_maxfit_options_create();
    EXPECT_EQ(qel_maxfit_options_set_inner_parallel_str(opts, inner), 0);
    EXPECT_EQ(qel_maxfit_options_set_inv_method(opts, inv_method), 0);
    Results out;
    const int32_t status = qel_maxfit(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(),
                                      s.k, opts, &out.handle);
    qel_maxfit_options_free(opts);
    return status;
}

int32_t predict(const Sample& s) {
    Results out;
    return qel_predict(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, nullptr,
                       &out.handle);
}

// Every insight call, given no inverse covariance.
using InsightCall = std::function<int32_t(const Sample&)>;
std::vector<std::pair<const char*, InsightCall>> insight_calls() {
    static std::vector<double> out(64);
    using WithTarget = int32_t (*)(const double*, size_t, size_t, int32_t, const double*, size_t, const double*,
                                   int32_t, double*, size_t);
    const auto with_target = [](WithTarget call) -> InsightCall {
        return [call](const Sample& s) {
            return call(s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, nullptr, 0, out.data(),
                        out.size());
        };
    };
    return {
        {"qel_info_x",
         [](const Sample& s) {
             return qel_info_x(s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, nullptr, 0, out.data(), out.size());
         }},
        {"qel_info_theta", with_target(qel_info_theta)},
        {"qel_similarity", with_target(qel_similarity)},
        {"qel_relevance", with_target(qel_relevance)},
        {"qel_relevance_metrics",
         [](const Sample& s) {
             return qel_relevance_metrics(s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, nullptr,
                                          0, out.data(), out.size(), nullptr, 0, nullptr, 0, nullptr, 0);
         }},
    };
}

struct Outcome {
    int32_t status;
    std::string message;
    std::string report;
};

Outcome observe(const std::function<int32_t()>& call) {
    testing::internal::CaptureStderr();
    const int32_t status = call();
    std::string report = testing::internal::GetCapturedStderr();
    return {status, qel_last_error(), std::move(report)};
}

TEST(FaultReports, MaxFitReportsAnExactlySingularCovarianceAsAFaultUnderEitherDriver) {
    const Sample s = twins();
    const std::string inversion = "Failed to invert covariance matrix: \"LU decomposition failed.\"";
    // "auto" runs both censor types on the pool, whose driver puts the step
    // before an ordinary failure, but not before a fault.
    for (const char* inner : {"off", "auto"}) {
        const Outcome got = observe([&] { return maxfit(s, inner, QEL_INV_GAUSSIAN); });
        EXPECT_EQ(got.status, 5) << inner;
        EXPECT_EQ(got.message, kMaxfitPanic + ": " + inversion) << inner;
        EXPECT_EQ(got.report, fault_line(kMaxfitPanic, inversion)) << inner;
    }
}

TEST(FaultReports, InsightCallsReportTheirExactlySingularCovarianceInFixedWords) {
    const Sample s = twins();
    for (const auto& [name, call] : insight_calls()) {
        const Outcome got = observe([&] { return call(s); });
        EXPECT_EQ(got.status, 5) << name;
        EXPECT_EQ(got.message, kInsightInversion) << name;
        EXPECT_EQ(got.report,
                  fault_line(kInsightInversion, "Failed to invert covariance matrix: \"LU decomposition failed.\""))
            << name;
    }
}

// A grid given more combinations than it may run samples them from the
// operating system's entropy; a source that fails is the run's internal fault.
TEST(FaultReports, GridReportsAFailingEntropySourceAsAFault) {
    const Sample s = normal_sample(30, 3, 8);
    const double combinations[] = {1, 1, 0, 0, 1, 1, 1, 0, 1, 1, 1, 1};
    QelGridOptions* opts = qel_grid_options_create();
    ASSERT_EQ(qel_grid_options_set_attribute_combi(opts, combinations, 4, 3, QEL_LAYOUT_ROW_MAJOR), 0);
    ASSERT_EQ(qel_grid_options_set_max_iter(opts, 2), 0);
    auto grid = [&] {
        Results out;
        return qel_grid(s.y.data(), s.n, s.x.data(), s.n, s.k, QEL_LAYOUT_ROW_MAJOR, s.theta.data(), s.k, opts,
                        &out.handle);
    };
    g_entropy_fails = true;
    const Outcome got = observe(grid);
    g_entropy_fails = false;
    const std::string context = "internal panic in qel_grid (often singular / ill-conditioned data)";
    const std::string text = std::string("operating-system entropy unavailable: ") + std::strerror(ENOSYS);
    EXPECT_EQ(got.status, 5);
    EXPECT_EQ(got.message, context + ": " + text);
    EXPECT_EQ(got.report, fault_line(context, text));
    EXPECT_EQ(observe(grid).status, 0) << qel_last_error();
    qel_grid_options_free(opts);
}

TEST(FaultReports, OrdinaryFailuresWriteNothingToStandardError) {
    const Outcome singular = observe([] { return predict(twins()); });
    EXPECT_EQ(singular.status, 5);
    EXPECT_EQ(singular.message, "LU decomposition failed.");
    EXPECT_EQ(singular.report, "");

    for (const char* inner : {"off", "auto"}) {
        const Outcome got = observe([&] { return maxfit(summed(), inner, QEL_INV_GAUSSIAN); });
        EXPECT_EQ(got.status, 5) << inner;
        const std::string step = std::string(inner) == "auto" ? "Setup error: " : "";
        EXPECT_EQ(got.message.rfind(step + "Matrix is numerically singular (reciprocal condition number ", 0), 0u)
            << got.message;
        EXPECT_EQ(got.report, "") << inner;
    }
    for (const auto& [name, call] : insight_calls()) {
        const Outcome got = observe([&] { return call(summed()); });
        EXPECT_EQ(got.status, 5) << name;
        EXPECT_EQ(got.message.rfind(kInsightInversion + ": Matrix is numerically singular (", 0), 0u)
            << got.message;
        EXPECT_EQ(got.report, "") << name;
    }
}

}  // namespace
