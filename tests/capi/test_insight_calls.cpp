// The insight calls as a host sees them: statuses and messages, both layouts,
// the record variants, and the values against a naive computation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qelcore.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kUntouched = -12345.0;

// A 6 x 2 sample (row-major) with an invertible covariance, its target, and the
// same sample stored column by column.
struct Sample {
    std::vector<double> x = {1.0, 2.0, 2.5, 0.5, -1.0, 1.5, 3.0, 4.0, 0.0, -2.0, 1.2, 0.7};
    std::size_t rows = 6, cols = 2;
    std::vector<double> theta = {0.8, 1.1};
    std::vector<double> x_col() const {
        std::vector<double> c(rows * cols);
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) c[j * rows + i] = x[i * cols + j];
        return c;
    }
};

// The four single-output calls behind one signature; info_x takes no target.
using SingleCall = int32_t (*)(const double*, size_t, size_t, int32_t, const double*, size_t, const double*,
                               int32_t, double*, size_t);
int32_t info_x_with_target(const double* X, size_t rows, size_t cols, int32_t layout, const double*, size_t,
                           const double* cov_inv, int32_t cov_inv_layout, double* out, size_t out_len) {
    return qel_info_x(X, rows, cols, layout, cov_inv, cov_inv_layout, out, out_len);
}
struct SingleExport {
    const char* name;  // also the output's name in messages
    SingleCall call;
    bool takes_target;
    bool one_value;  // info_theta: one value instead of one per row
};
const SingleExport kSingles[] = {
    {"info_x", info_x_with_target, false, false},
    {"info_theta", qel_info_theta, true, true},
    {"similarity", qel_similarity, true, false},
    {"relevance", qel_relevance, true, false},
};

TEST(InsightCalls, ArgumentRecordsHaveTheirFixedLayout) {
    EXPECT_EQ(sizeof(QelInsightCallArgs), 64u);
    EXPECT_EQ(offsetof(QelInsightCallArgs, X), 0u);
    EXPECT_EQ(offsetof(QelInsightCallArgs, rows), 8u);
    EXPECT_EQ(offsetof(QelInsightCallArgs, cols), 16u);
    EXPECT_EQ(offsetof(QelInsightCallArgs, layout), 24u);
    EXPECT_EQ(offsetof(QelInsightCallArgs, theta), 32u);
    EXPECT_EQ(offsetof(QelInsightCallArgs, theta_len), 40u);
    EXPECT_EQ(offsetof(QelInsightCallArgs, out), 48u);
    EXPECT_EQ(offsetof(QelInsightCallArgs, out_len), 56u);
    EXPECT_EQ(sizeof(QelRelevanceMetricsCallArgs), 112u);
    const size_t metrics_offsets[] = {
        offsetof(QelRelevanceMetricsCallArgs, X),
        offsetof(QelRelevanceMetricsCallArgs, rows),
        offsetof(QelRelevanceMetricsCallArgs, cols),
        offsetof(QelRelevanceMetricsCallArgs, layout),
        offsetof(QelRelevanceMetricsCallArgs, theta),
        offsetof(QelRelevanceMetricsCallArgs, theta_len),
        offsetof(QelRelevanceMetricsCallArgs, relevance_out),
        offsetof(QelRelevanceMetricsCallArgs, relevance_len),
        offsetof(QelRelevanceMetricsCallArgs, similarity_out),
        offsetof(QelRelevanceMetricsCallArgs, similarity_len),
        offsetof(QelRelevanceMetricsCallArgs, info_x_out),
        offsetof(QelRelevanceMetricsCallArgs, info_x_len),
        offsetof(QelRelevanceMetricsCallArgs, info_theta_out),
        offsetof(QelRelevanceMetricsCallArgs, info_theta_len),
    };
    for (size_t slot = 0; slot < 14; ++slot) EXPECT_EQ(metrics_offsets[slot], 8 * slot) << slot;
}

// Every failure of the loader and of the copy-out, for each single-output call.
TEST(InsightCalls, FailuresOfTheSingleOutputCalls) {
    const Sample s;
    // Column 1 is all zeros: the sample covariance is exactly singular.
    const double singular[] = {1.0, 0.0, 2.0, 0.0, 4.0, 0.0};
    const double identity[] = {1.0, 0.0, 0.0, 1.0};
    const double one = 1.0;
    const size_t big = size_t{1} << 32;
    const size_t huge = size_t{1} << 31;  // huge * huge fits 64 bits; its byte size does not
    const std::string inversion = "failed to invert covariance (singular / ill-conditioned X)";

    struct Case {
        const char* what;
        const double* x;
        size_t rows, cols;
        int32_t layout;
        const double* theta;
        size_t theta_len;
        const double* cov_inv;
        int32_t cov_inv_layout;
        bool null_out;
        size_t out_len;  // SIZE_MAX: exactly the length needed
        bool needs_target;  // the case is about the target, which info_x does not take
        int32_t status;
        std::string message;  // "%s" stands for the output's name
    } cases[] = {
        {"theta length", s.x.data(), 6, 2, 0, s.theta.data(), 1, nullptr, 0, false, SIZE_MAX, true, 2,
         "theta length (1) must equal X cols (2)"},
        {"theta length before layout", s.x.data(), 6, 2, 9, s.theta.data(), 3, nullptr, 0, false, SIZE_MAX, true, 2,
         "theta length (3) must equal X cols (2)"},
        {"layout 2", s.x.data(), 6, 2, 2, s.theta.data(), 2, nullptr, 0, false, SIZE_MAX, false, 3,
         "invalid QelLayout value: 2 (use 0=row-major, 1=col-major)"},
        {"layout -1", s.x.data(), 6, 2, -1, s.theta.data(), 2, nullptr, 0, false, SIZE_MAX, false, 3,
         "invalid QelLayout value: -1 (use 0=row-major, 1=col-major)"},
        {"X null", nullptr, 6, 2, 0, s.theta.data(), 2, nullptr, 0, false, SIZE_MAX, false, 1,
         "matrix pointer is null"},
        {"zero rows", s.x.data(), 0, 2, 0, s.theta.data(), 2, nullptr, 0, false, SIZE_MAX, false, 3,
         "matrix dimensions must be non-zero"},
        {"zero cols", s.x.data(), 6, 0, 0, s.theta.data(), 0, nullptr, 0, false, SIZE_MAX, false, 3,
         "matrix dimensions must be non-zero"},
        {"extents overflow", s.x.data(), big, big, 0, s.theta.data(), big, nullptr, 0, false, SIZE_MAX, false, 3,
         "matrix dimensions overflow"},
        {"theta null", s.x.data(), 6, 2, 0, nullptr, 2, nullptr, 0, false, SIZE_MAX, true, 1,
         "theta pointer is null"},
        {"cov_inv layout", s.x.data(), 6, 2, 0, s.theta.data(), 2, identity, 7, false, SIZE_MAX, false, 3,
         "invalid QelLayout value: 7 (use 0=row-major, 1=col-major)"},
        {"cov_inv layout ignored without cov_inv", s.x.data(), 6, 2, 0, s.theta.data(), 2, nullptr, 7, false,
         SIZE_MAX, false, 0, ""},
        {"singular covariance", singular, 3, 2, 0, s.theta.data(), 2, nullptr, 0, false, SIZE_MAX, false, 5,
         inversion},
        {"computation comes before the out buffer", singular, 3, 2, 0, s.theta.data(), 2, nullptr, 0, true, 0,
         false, 5, inversion},
        {"singular but caller's cov_inv", singular, 3, 2, 0, s.theta.data(), 2, identity, 0, false, SIZE_MAX, false,
         0, ""},
        {"out null", s.x.data(), 6, 2, 0, s.theta.data(), 2, nullptr, 0, true, SIZE_MAX, false, 1,
         "%s out buffer is null"},
        {"out empty", s.x.data(), 6, 2, 1, s.theta.data(), 2, nullptr, 0, false, 0, false, 2,
         "%s: out buffer too small: need N, got 0"},
        {"out one short", s.x.data(), 6, 2, 0, s.theta.data(), 2, nullptr, 0, false, SIZE_MAX - 1, false, 2,
         "%s: out buffer too small: need N, got N-1"},
        {"memory runs out", &one, huge, huge, 0, &one, huge, nullptr, 0, false, SIZE_MAX, false, 5,
         "out of memory"},
    };

    for (const auto& e : kSingles) {
        for (const auto& c : cases) {
            if (c.needs_target && !e.takes_target) continue;
            const size_t need = e.one_value ? 1 : c.rows;
            size_t out_len = c.out_len;
            if (out_len == SIZE_MAX) out_len = need;
            if (out_len == SIZE_MAX - 1) out_len = need - 1;
            // The huge cases fail before any output: a small buffer stands in.
            std::vector<double> out(std::min<size_t>(need, 16) + 1, kUntouched);
            std::string message = c.message;
            if (auto at = message.find("%s"); at != std::string::npos) message.replace(at, 2, e.name);
            if (auto at = message.find("N-1"); at != std::string::npos) message.replace(at, 3, std::to_string(need - 1));
            if (auto at = message.find("need N"); at != std::string::npos)
                message.replace(at, 6, "need " + std::to_string(need));

            const int32_t status = e.call(c.x, c.rows, c.cols, c.layout, c.theta, c.theta_len, c.cov_inv,
                                          c.cov_inv_layout, c.null_out ? nullptr : out.data(), out_len);
            const std::string got = qel_last_error();
            EXPECT_EQ(status, c.status) << e.name << ": " << c.what << " (" << got << ")";
            if (c.status == 5 && message == "out of memory") {
                EXPECT_NE(got.find("out of memory"), std::string::npos) << e.name << ": " << got;
            } else {
                EXPECT_EQ(got, message) << e.name << ": " << c.what;
            }
            if (c.status != 0) {
                for (double v : out) EXPECT_EQ(v, kUntouched) << e.name << ": " << c.what << " wrote its buffer";
            }
        }
    }
}

TEST(InsightCalls, RecordVariants) {
    EXPECT_EQ(qel_info_x_call(nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "args is null");
    EXPECT_EQ(qel_info_theta_call(nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "args is null");
    EXPECT_EQ(qel_similarity_call(nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "args is null");
    EXPECT_EQ(qel_relevance_call(nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "args is null");
    EXPECT_EQ(qel_relevance_metrics_call(nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "args is null");

    const Sample s;
    const auto x_col = s.x_col();
    for (const auto& e : kSingles) {
        const size_t n = e.one_value ? 1 : s.rows;
        for (int32_t layout : {0, 1}) {
            const double* x = layout == 0 ? s.x.data() : x_col.data();
            std::vector<double> direct(n), via_record(n, kUntouched);
            ASSERT_EQ(e.call(x, s.rows, s.cols, layout, s.theta.data(), 2, nullptr, 0, direct.data(), n), 0);
            // info_x reads neither theta nor theta_len from its record.
            QelInsightCallArgs args = {x, s.rows, s.cols, layout, e.takes_target ? s.theta.data() : nullptr,
                                       e.takes_target ? s.theta.size() : 99, via_record.data(), n};
            const int32_t status = e.name == std::string("info_x")        ? qel_info_x_call(&args)
                                   : e.name == std::string("info_theta") ? qel_info_theta_call(&args)
                                   : e.name == std::string("similarity") ? qel_similarity_call(&args)
                                                                          : qel_relevance_call(&args);
            ASSERT_EQ(status, 0) << e.name << ": " << qel_last_error();
            EXPECT_EQ(std::memcmp(direct.data(), via_record.data(), n * sizeof(double)), 0) << e.name;

            // The record's failures are those of the call itself.
            args.out_len = 0;
            const int32_t short_status = e.name == std::string("info_x")        ? qel_info_x_call(&args)
                                         : e.name == std::string("info_theta") ? qel_info_theta_call(&args)
                                         : e.name == std::string("similarity") ? qel_similarity_call(&args)
                                                                                : qel_relevance_call(&args);
            EXPECT_EQ(short_status, 2) << e.name;
            EXPECT_EQ(std::string(qel_last_error()),
                      std::string(e.name) + ": out buffer too small: need " + std::to_string(n) + ", got 0");
        }
    }

    std::vector<double> rel(s.rows), sim(s.rows), ix(s.rows), it(1);
    std::vector<double> rel2(s.rows), sim2(s.rows), ix2(s.rows), it2(1);
    ASSERT_EQ(qel_relevance_metrics(s.x.data(), s.rows, s.cols, 0, s.theta.data(), 2, nullptr, 0, rel.data(),
                                    s.rows, sim.data(), s.rows, ix.data(), s.rows, it.data(), 1),
              0);
    const QelRelevanceMetricsCallArgs margs = {x_col.data(), s.rows, s.cols, 1, s.theta.data(), 2,
                                               rel2.data(), s.rows, sim2.data(), s.rows, ix2.data(), s.rows,
                                               it2.data(), 1};
    ASSERT_EQ(qel_relevance_metrics_call(&margs), 0) << qel_last_error();
    EXPECT_EQ(rel, rel2);
    EXPECT_EQ(sim, sim2);
    EXPECT_EQ(ix, ix2);
    EXPECT_EQ(it, it2);
}

TEST(InsightCalls, MetricsBuffers) {
    const Sample s;
    const size_t n = s.rows;
    struct Case {
        const char* what;
        bool want[4];
        size_t len[4];
        int32_t status;
        const char* message;
        bool written[4];
    } cases[] = {
        {"all skipped", {false, false, false, false}, {0, 0, 0, 0}, 0, "", {false, false, false, false}},
        {"only info_theta", {false, false, false, true}, {0, 0, 0, 1}, 0, "", {false, false, false, true}},
        {"all, larger buffers", {true, true, true, true}, {n + 1, n + 1, n + 1, 2}, 0, "", {true, true, true, true}},
        {"short similarity", {true, true, true, true}, {n, n - 1, n, 1}, 2,
         "similarity: out buffer too small: need 6, got 5", {true, false, false, false}},
        {"short relevance", {true, true, true, true}, {0, n, n, 1}, 2,
         "relevance: out buffer too small: need 6, got 0", {false, false, false, false}},
        {"short info_theta", {true, true, true, true}, {n, n, n, 0}, 2,
         "info_theta: out buffer too small: need 1, got 0", {true, true, true, false}},
        {"skipped relevance, short info_x", {false, true, true, true}, {0, n, 2, 1}, 2,
         "info_x: out buffer too small: need 6, got 2", {false, true, false, false}},
    };
    for (const auto& c : cases) {
        std::vector<double> bufs[4];
        for (auto& b : bufs) b.assign(n + 1, kUntouched);
        double* ptr[4];
        for (int k = 0; k < 4; ++k) ptr[k] = c.want[k] ? bufs[k].data() : nullptr;
        const int32_t status = qel_relevance_metrics(s.x.data(), n, s.cols, 0, s.theta.data(), 2, nullptr, 0, ptr[0],
                                                     c.len[0], ptr[1], c.len[1], ptr[2], c.len[2], ptr[3], c.len[3]);
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_STREQ(qel_last_error(), c.message) << c.what;
        for (int k = 0; k < 4; ++k) {
            const size_t count = k == 3 ? 1 : n;
            for (size_t i = 0; i < count; ++i) {
                EXPECT_EQ(bufs[k][i] != kUntouched, c.written[k]) << c.what << " buffer " << k << " entry " << i;
            }
            EXPECT_EQ(bufs[k][count], kUntouched) << c.what << ": past the end of buffer " << k;
        }
    }

    // Failures of the loader are the same as for the other calls.
    double out[6];
    EXPECT_EQ(qel_relevance_metrics(s.x.data(), n, s.cols, 5, s.theta.data(), 3, nullptr, 0, out, 6, nullptr, 0,
                                    nullptr, 0, nullptr, 0),
              2);
    EXPECT_STREQ(qel_last_error(), "theta length (3) must equal X cols (2)");
    const double singular[] = {1.0, 0.0, 2.0, 0.0, 4.0, 0.0};
    EXPECT_EQ(qel_relevance_metrics(singular, 3, 2, 0, s.theta.data(), 2, nullptr, 0, nullptr, 0, nullptr, 0,
                                    nullptr, 0, nullptr, 0),
              5);
    EXPECT_STREQ(qel_last_error(), "failed to invert covariance (singular / ill-conditioned X)");
    const double identity[] = {1.0, 0.0, 0.0, 1.0};
    EXPECT_EQ(qel_relevance_metrics(s.x.data(), n, s.cols, 0, s.theta.data(), 2, identity, -3, out, 6, nullptr, 0,
                                    nullptr, 0, nullptr, 0),
              3);
    EXPECT_STREQ(qel_last_error(), "invalid QelLayout value: -3 (use 0=row-major, 1=col-major)");
    // A success clears the message left by a failure.
    EXPECT_EQ(qel_relevance_metrics(s.x.data(), n, s.cols, 0, s.theta.data(), 2, identity, 1, out, 6, nullptr, 0,
                                    nullptr, 0, nullptr, 0),
              0);
    EXPECT_STREQ(qel_last_error(), "");
}

struct Metrics {
    std::vector<double> relevance, similarity, info_x, info_theta;
};

Metrics metrics(const std::vector<double>& x, size_t rows, size_t cols, int32_t layout,
                const std::vector<double>& theta, const double* cov_inv = nullptr, int32_t cov_inv_layout = 0) {
    Metrics m{std::vector<double>(rows), std::vector<double>(rows), std::vector<double>(rows),
              std::vector<double>(1)};
    const int32_t status = qel_relevance_metrics(x.data(), rows, cols, layout, theta.data(), theta.size(), cov_inv,
                                                 cov_inv_layout, m.relevance.data(), rows, m.similarity.data(), rows,
                                                 m.info_x.data(), rows, m.info_theta.data(), 1);
    EXPECT_EQ(status, 0) << qel_last_error();
    return m;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// On random samples: relevance is similarity plus half the two informativeness
// distances, the single-output calls return the same arrays, and the column
// layout gives the same bits as the row layout.
TEST(InsightCalls, RelevanceIsSimilarityPlusInformativeness) {
    std::mt19937_64 rng(20240611);
    std::normal_distribution<double> normal(0.0, 1.0);
    const struct {
        size_t rows, cols;
    } shapes[] = {{40, 1}, {25, 3}, {60, 7}, {80, 40}};
    for (const auto& shape : shapes) {
        const size_t n = shape.rows, k = shape.cols;
        std::vector<double> x(n * k), x_col(n * k), theta(k);
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < k; ++j) x[i * k + j] = x_col[j * n + i] = normal(rng) * double(j + 1) + double(j);
        for (auto& t : theta) t = normal(rng);

        const Metrics m = metrics(x, n, k, 0, theta);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(m.relevance[i], m.similarity[i] + (m.info_x[i] + m.info_theta[0]) / 2) << k << " row " << i;
        }
        const Metrics by_col = metrics(x_col, n, k, 1, theta);
        EXPECT_TRUE(same_bits(m.relevance, by_col.relevance)) << k;
        EXPECT_TRUE(same_bits(m.similarity, by_col.similarity)) << k;
        EXPECT_TRUE(same_bits(m.info_x, by_col.info_x)) << k;
        EXPECT_TRUE(same_bits(m.info_theta, by_col.info_theta)) << k;

        const std::vector<double>* expected[] = {&m.info_x, &m.info_theta, &m.similarity, &m.relevance};
        for (int e = 0; e < 4; ++e) {
            std::vector<double> out(expected[e]->size());
            ASSERT_EQ(kSingles[e].call(x.data(), n, k, 0, theta.data(), k, nullptr, 0, out.data(), out.size()), 0)
                << kSingles[e].name << ": " << qel_last_error();
            EXPECT_TRUE(same_bits(out, *expected[e])) << kSingles[e].name << " K=" << k;
        }
    }
}

// The distances against plain loops over a small sample with a known inverse
// covariance, given by the caller in either layout.
TEST(InsightCalls, DistancesMatchANaiveComputation) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> uniform(-2.0, 2.0);
    const size_t n = 9, k = 3;
    std::vector<double> x(n * k), theta(k);
    for (auto& v : x) v = uniform(rng);
    for (auto& v : theta) v = uniform(rng);
    // Symmetric positive definite: A^T A + I.
    double a[3][3], c[9];
    for (auto& row : a)
        for (auto& v : row) v = uniform(rng);
    for (size_t i = 0; i < k; ++i)
        for (size_t j = 0; j < k; ++j) {
            double sum = i == j ? 1.0 : 0.0;
            for (size_t l = 0; l < k; ++l) sum += a[l][i] * a[l][j];
            c[i * k + j] = sum;
        }

    auto d2 = [&](const double* p, const double* q) {
        double total = 0.0;
        for (size_t i = 0; i < k; ++i)
            for (size_t j = 0; j < k; ++j) total += (p[i] - q[i]) * c[i * k + j] * (p[j] - q[j]);
        return total;
    };
    std::vector<double> mean(k, 0.0);
    for (size_t i = 0; i < n; ++i)
        for (size_t j = 0; j < k; ++j) mean[j] += x[i * k + j] / double(n);

    // c is symmetric, so it reads the same in both layouts.
    for (int32_t cov_layout : {0, 1}) {
        const Metrics m = metrics(x, n, k, 0, theta, c, cov_layout);
        const double info_theta = d2(theta.data(), mean.data());
        EXPECT_NEAR(m.info_theta[0], info_theta, 1e-12 * (1.0 + info_theta));
        for (size_t i = 0; i < n; ++i) {
            const double to_theta = d2(&x[i * k], theta.data());
            const double to_mean = d2(&x[i * k], mean.data());
            EXPECT_NEAR(m.similarity[i], -0.5 * to_theta, 1e-12 * (1.0 + to_theta)) << i;
            EXPECT_NEAR(m.info_x[i], to_mean, 1e-12 * (1.0 + to_mean)) << i;
            EXPECT_NEAR(m.relevance[i], -0.5 * to_theta + 0.5 * (to_mean + info_theta), 1e-11) << i;
        }
    }

    // Without a caller matrix the inverse of the sample covariance is used:
    // compare with the caller path given that inverse (computed here by
    // Gauss-Jordan on the sample covariance).
    double cov[9] = {};
    for (size_t i = 0; i < n; ++i)
        for (size_t p = 0; p < k; ++p)
            for (size_t q = 0; q < k; ++q) cov[p * k + q] += (x[i * k + p] - mean[p]) * (x[i * k + q] - mean[q]);
    for (double& v : cov) v /= double(n - 1);
    double aug[3][6];
    for (size_t i = 0; i < k; ++i)
        for (size_t j = 0; j < 2 * k; ++j) aug[i][j] = j < k ? cov[i * k + j] : (j - k == i ? 1.0 : 0.0);
    for (size_t col = 0; col < k; ++col) {
        const double pivot = aug[col][col];
        for (size_t j = 0; j < 2 * k; ++j) aug[col][j] /= pivot;
        for (size_t r = 0; r < k; ++r) {
            if (r == col) continue;
            const double f = aug[r][col];
            for (size_t j = 0; j < 2 * k; ++j) aug[r][j] -= f * aug[col][j];
        }
    }
    double inverse[9];
    for (size_t i = 0; i < k; ++i)
        for (size_t j = 0; j < k; ++j) inverse[i * k + j] = aug[i][j + k];
    const Metrics computed = metrics(x, n, k, 0, theta);
    const Metrics given = metrics(x, n, k, 0, theta, inverse);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(computed.info_x[i], given.info_x[i], 1e-9 * (1.0 + given.info_x[i])) << i;
        EXPECT_NEAR(computed.similarity[i], given.similarity[i], 1e-9 * (1.0 - given.similarity[i])) << i;
    }
}

TEST(InsightCalls, ValuesAtKnownPoints) {
    const Sample s;
    const double identity[] = {1.0, 0.0, 0.0, 1.0};
    double mean[2] = {0.0, 0.0};
    for (size_t i = 0; i < s.rows; ++i)
        for (size_t j = 0; j < 2; ++j) mean[j] += s.x[i * 2 + j];
    mean[0] /= 6.0;
    mean[1] /= 6.0;

    // The identity makes info_x the squared Euclidean distance from the means.
    std::vector<double> info_x(s.rows);
    ASSERT_EQ(qel_info_x(s.x.data(), s.rows, 2, 0, identity, 0, info_x.data(), s.rows), 0);
    for (size_t i = 0; i < s.rows; ++i) {
        const double d0 = s.x[i * 2] - mean[0], d1 = s.x[i * 2 + 1] - mean[1];
        EXPECT_NEAR(info_x[i], d0 * d0 + d1 * d1, 1e-12) << i;
    }

    // info_x does not depend on the target; a target at the mean has info_theta 0.
    const std::vector<double> at_mean = {mean[0], mean[1]};
    const Metrics m = metrics(s.x, s.rows, 2, 0, at_mean, identity);
    EXPECT_EQ(m.info_x, info_x);
    EXPECT_EQ(m.info_theta[0], 0.0);
    for (size_t i = 0; i < s.rows; ++i) EXPECT_EQ(m.relevance[i], m.similarity[i] + 0.5 * m.info_x[i]);

    // An observation equal to the target: zero distance, similarity -0.
    const std::vector<double> at_row2 = {s.x[4], s.x[5]};
    const Metrics r = metrics(s.x, s.rows, 2, 0, at_row2);
    EXPECT_EQ(r.similarity[2], 0.0);
    EXPECT_TRUE(std::signbit(r.similarity[2]));
    EXPECT_EQ(r.relevance[2], (r.info_x[2] + r.info_theta[0]) * 0.5);
}

// NaN marks a missing value and flows into the rows it touches; infinities
// give non-finite values. Neither is an error.
TEST(InsightCalls, NaNAndInfinityFlowIntoTheResults) {
    const double identity[] = {1.0, 0.0, 0.0, 1.0};
    const Sample s;
    std::vector<double> x = s.x;
    x[3] = kNaN;  // row 1
    std::vector<double> sim(s.rows);
    ASSERT_EQ(qel_similarity(x.data(), s.rows, 2, 0, s.theta.data(), 2, identity, 0, sim.data(), s.rows), 0);
    for (size_t i = 0; i < s.rows; ++i) EXPECT_EQ(std::isnan(sim[i]), i == 1) << i;
    // The mean of the column with the NaN is NaN, so every info_x is.
    std::vector<double> info_x(s.rows);
    ASSERT_EQ(qel_info_x(x.data(), s.rows, 2, 0, identity, 0, info_x.data(), s.rows), 0);
    for (double v : info_x) EXPECT_TRUE(std::isnan(v));

    // The covariance computed from X has NaN entries, so every result is NaN.
    std::vector<double> rel(s.rows);
    ASSERT_EQ(qel_relevance(x.data(), s.rows, 2, 0, s.theta.data(), 2, nullptr, 0, rel.data(), s.rows), 0)
        << qel_last_error();
    for (double v : rel) EXPECT_TRUE(std::isnan(v));
    x[3] = kInf;
    ASSERT_EQ(qel_relevance(x.data(), s.rows, 2, 0, s.theta.data(), 2, nullptr, 0, rel.data(), s.rows), 0)
        << qel_last_error();
    for (double v : rel) EXPECT_FALSE(std::isfinite(v));

    std::vector<double> theta = {kInf, 0.0};
    ASSERT_EQ(qel_similarity(s.x.data(), s.rows, 2, 0, theta.data(), 2, identity, 0, sim.data(), s.rows), 0);
    for (double v : sim) EXPECT_FALSE(std::isfinite(v));
}

// Calls on several threads at once share nothing but their own thread's
// message: every thread gets the serial results and its own failure text.
TEST(InsightCalls, ConcurrentCallsKeepTheirResultsAndMessages) {
    const size_t n = 30, k = 4, threads = 8;
    std::vector<std::vector<double>> xs(threads, std::vector<double>(n * k));
    std::mt19937_64 rng(99);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (auto& x : xs)
        for (auto& v : x) v = normal(rng);
    const std::vector<double> theta = {0.1, -0.2, 0.3, 0.0};
    std::vector<Metrics> serial;
    for (const auto& x : xs) serial.push_back(metrics(x, n, k, 0, theta));

    std::vector<int> ok(threads, 0);
    std::vector<std::thread> pool;
    for (size_t t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            int good = 1;
            for (int round = 0; round < 20; ++round) {
                std::vector<double> rel(n);
                const int32_t status = qel_relevance(xs[t].data(), n, k, 0, theta.data(), k, nullptr, 0,
                                                     rel.data(), n);
                good &= status == 0 && same_bits(rel, serial[t].relevance);
                // A failure names this thread's own bad length.
                const int32_t bad = qel_similarity(xs[t].data(), n, k, 0, theta.data(), t + 10, nullptr, 0,
                                                   rel.data(), n);
                good &= bad == 2 && std::string(qel_last_error()) ==
                                        "theta length (" + std::to_string(t + 10) + ") must equal X cols (4)";
            }
            ok[t] = good;
        });
    }
    for (auto& th : pool) th.join();
    for (size_t t = 0; t < threads; ++t) EXPECT_EQ(ok[t], 1) << "thread " << t;
}

}  // namespace
