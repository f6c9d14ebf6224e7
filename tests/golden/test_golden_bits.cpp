// Golden bits: fixed inputs whose every result part is hashed, so that a change
// meant to leave the arithmetic alone (a faster kernel, a pass folded into
// another, rows spread over the pool) shows at once if one bit moved.
//
// The samples come from an integer generator, never from <random>'s
// distributions or the math library, so they are the same bits everywhere.
// The K x K inversions go through OpenBLAS, whose last bits depend on its
// kernel family and thread count (and, with several threads, on timing): main
// pins both before OpenBLAS starts. CTest also runs the suite on one processor,
// so that the library's own pool has a single worker.
//
// When a digest moves on purpose, QEL_GOLDEN_PRINT=1 prints one digest per
// part, so two builds can be compared part by part.
//
// Built with QEL_GOLDEN_EVERY_LEVEL (and the engine's internals linked in),
// the suite also runs every case with the vector kernels forced to each
// instruction set level the processor runs: each must give the same digests.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "host_sample.hpp"
#include "qelcore.h"
#ifdef QEL_GOLDEN_EVERY_LEVEL
#include "toolbox/simd_testing.hpp"
#endif

namespace {

// ---------------------------------------------------------------- samples

using test_support::SplitMix;

struct Sample {
    std::vector<double> y, x, theta;  // x row-major, n x k
    size_t n = 0, k = 0;
};

enum class Outcome { linear, binary };

Sample make_sample(size_t n, size_t k, std::uint64_t seed, double nan_share, Outcome outcome) {
    SplitMix rng{seed};
    Sample s;
    s.n = n;
    s.k = k;
    s.x.resize(n * k);
    s.y.resize(n);
    for (size_t i = 0; i < n; ++i) {
        double acc = 0.0;
        for (size_t j = 0; j < k; ++j) {
            // Columns on different scales, the first two correlated.
            double v = rng.bell() * static_cast<double>(1 + j % 3);
            if (j == 1) v = 0.6 * s.x[i * k] + 0.4 * v;
            s.x[i * k + j] = v;
            acc += v * (j % 2 == 0 ? 1.0 : -0.5) / static_cast<double>(j + 1);
        }
        acc += 0.7 * rng.bell();
        s.y[i] = outcome == Outcome::binary ? (acc > 0.1 ? 1.0 : 0.0) : acc;
    }
    if (nan_share > 0.0) {
        for (double& v : s.x) {
            if (rng.unit() < nan_share) v = __builtin_nan("");
        }
    }
    for (size_t j = 0; j < k; ++j) s.theta.push_back(0.4 * rng.bell());
    return s;
}

std::vector<double> column_major(const Sample& s) {
    std::vector<double> out(s.n * s.k);
    for (size_t i = 0; i < s.n; ++i) {
        for (size_t j = 0; j < s.k; ++j) out[j * s.n + i] = s.x[i * s.k + j];
    }
    return out;
}

// ---------------------------------------------------------------- digests

struct Digest {
    std::uint64_t h = 0xCBF29CE484222325ull;
    void bytes(const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) {
            h ^= b[i];
            h *= 0x100000001B3ull;
        }
    }
    void word(std::uint64_t v) { bytes(&v, sizeof v); }
    void text(const char* s) { bytes(s, std::strlen(s) + 1); }
    // Every NaN hashes alike: which NaN an operation yields is not a result.
    void value(double v) {
        std::uint64_t bits;
        if (v != v) {
            bits = 0x7FF8000000000000ull;
        } else {
            std::memcpy(&bits, &v, sizeof bits);
        }
        word(bits);
    }
};

bool printing() {
    const char* p = std::getenv("QEL_GOLDEN_PRINT");
    return p != nullptr && *p != '\0' && *p != '0';
}

// The element count a copy export needs, read from the message it gives for an
// empty buffer; -1 when the part is absent.
using Probe = std::function<int32_t(double*, size_t)>;

long long needed(const Probe& copy) {
    double dummy = 0.0;
    const int32_t status = copy(&dummy, 0);
    if (status == 0) return 0;
    if (status == QEL_STATUS_INVALID_VALUE) return -1;
    const std::string msg = qel_last_error();
    EXPECT_EQ(status, QEL_STATUS_SIZE_MISMATCH) << msg;
    const size_t at = msg.find("need ");
    EXPECT_NE(at, std::string::npos) << msg;
    size_t pos = at + 5;
    if (msg.compare(pos, 9, "at least ") == 0) pos += 9;
    return std::strtoll(msg.c_str() + pos, nullptr, 10);
}

struct PartHasher {
    Digest all;
    std::string case_name;

    void part(const char* name, const Probe& copy) {
        Digest one;
        one.text(name);
        const long long n = needed(copy);
        one.word(static_cast<std::uint64_t>(n));
        if (n > 0) {
            std::vector<double> buf(static_cast<size_t>(n));
            ASSERT_EQ(copy(buf.data(), buf.size()), 0) << name << ": " << qel_last_error();
            for (double v : buf) one.value(v);
        }
        all.word(one.h);
        if (printing()) std::printf("  %s %-28s %5lld %016llx\n", case_name.c_str(), name, n,
                                    static_cast<unsigned long long>(one.h));
    }
};

using VecCopy = int32_t (*)(const QelPredictionResults*, double*, size_t);
using MatCopy = int32_t (*)(const QelPredictionResults*, double*, size_t, int32_t);
using CensorMatCopy = int32_t (*)(const QelPredictionResults*, int32_t, double*, size_t, int32_t);
using CensorCubeCopy = int32_t (*)(const QelPredictionResults*, int32_t, double*, size_t);

#define QEL_VEC(name) {#name, qel_results_copy_##name}
const struct {
    const char* name;
    VecCopy copy;
} kVectors[] = {
    QEL_VEC(yhat), QEL_VEC(fit), QEL_VEC(agreement), QEL_VEC(outlier_influence), QEL_VEC(asymmetry),
    QEL_VEC(adjusted_fit), QEL_VEC(k_fit), QEL_VEC(thresholds), QEL_VEC(yhat_linear), QEL_VEC(relevance),
    QEL_VEC(similarity), QEL_VEC(info_x), QEL_VEC(info_theta), QEL_VEC(maxfit_index), QEL_VEC(variable_weights),
    QEL_VEC(mctc), QEL_VEC(mctp), QEL_VEC(cctp), QEL_VEC(xi_solo_composite), QEL_VEC(weights_concentration),
    QEL_VEC(y_solo), QEL_VEC(ysolo_sigma), QEL_VEC(ysolo_skewness), QEL_VEC(ysolo_kurtosis),
    QEL_VEC(ysolo_pearson_modality_index), QEL_VEC(ysolo_bimodal_index), QEL_VEC(aux_phi), QEL_VEC(aux_lambda_sq),
    QEL_VEC(aux_full_var), QEL_VEC(aux_part_var), QEL_VEC(aux_r_star), QEL_VEC(aux_r_star_percent), QEL_VEC(aux_n),
    QEL_VEC(aux_k), QEL_VEC(aux_rho), QEL_VEC(ysolo_bin_edges), QEL_VEC(ysolo_bin_centers),
    QEL_VEC(ysolo_bin_widths),
};
const struct {
    const char* name;
    MatCopy copy;
} kMatrices[] = {
    QEL_VEC(weights), QEL_VEC(weights_excluded), QEL_VEC(xi_solo), QEL_VEC(ysolo_bin_counts),
    QEL_VEC(combi_cells), QEL_VEC(k_cells), QEL_VEC(ysolo_cells),
};
const struct {
    const char* name;
    CensorMatCopy copy;
} kCensorMatrices[] = {QEL_VEC(yhat_cells), QEL_VEC(adjusted_fit_cells), QEL_VEC(n_cells)};
const struct {
    const char* name;
    CensorCubeCopy copy;
} kCensorCubes[] = {QEL_VEC(weights_cells), QEL_VEC(xi_solo_cells)};
#undef QEL_VEC

std::uint64_t digest_results(const std::string& case_name, const QelPredictionResults* r) {
    PartHasher h;
    h.case_name = case_name;
    h.all.word(qel_results_num_observations(r));
    h.all.word(qel_results_num_variables(r));
    h.all.word(qel_results_num_thresholds(r));
    h.all.word(qel_results_num_combinations(r));
    h.all.word(qel_results_maxfit_index_len(r));
    for (const auto& v : kVectors) {
        h.part(v.name, [&](double* out, size_t len) { return v.copy(r, out, len); });
    }
    for (const auto& m : kMatrices) {
        h.part(m.name, [&](double* out, size_t len) { return m.copy(r, out, len, QEL_LAYOUT_ROW_MAJOR); });
    }
    for (int32_t censor : {0, 1}) {
        for (const auto& m : kCensorMatrices) {
            const std::string name = std::string(m.name) + (censor == 0 ? "/relevance" : "/similarity");
            h.part(name.c_str(),
                   [&](double* out, size_t len) { return m.copy(r, censor, out, len, QEL_LAYOUT_ROW_MAJOR); });
        }
        for (const auto& c : kCensorCubes) {
            const std::string name = std::string(c.name) + (censor == 0 ? "/relevance" : "/similarity");
            h.part(name.c_str(), [&](double* out, size_t len) { return c.copy(r, censor, out, len); });
        }
    }
    // The include mask is bytes; hash them as values 0 and 1.
    h.part("include", [&](double* out, size_t len) -> int32_t {
        std::vector<uint8_t> bytes(len == 0 ? 1 : len);
        const int32_t st = qel_results_copy_include(r, bytes.data(), len, QEL_LAYOUT_ROW_MAJOR);
        if (st == 0) {
            for (size_t i = 0; i < len; ++i) out[i] = bytes[i];
        }
        return st;
    });
    return h.all.h;
}

// ---------------------------------------------------------------- the cases

enum class Call { predict, maxfit, grid };

struct Options {
    QelPredictOptions* predict = nullptr;
    QelMaxFitOptions* maxfit = nullptr;
    QelGridOptions* grid = nullptr;
    ~Options() {
        qel_predict_options_free(predict);
        qel_maxfit_options_free(maxfit);
        qel_grid_options_free(grid);
    }
};

#define QEL_OK(expr) ASSERT_EQ((expr), 0) << #expr << ": " << qel_last_error()

struct GoldenCase {
    const char* name;
    Call call;
    size_t n, k;
    std::uint64_t seed;
    double nan_share;
    Outcome outcome;
    int32_t layout;
    std::function<void(Options&)> configure;
    std::uint64_t expected;
};

std::vector<double> spaced(size_t count, double lo, double hi) {
    std::vector<double> t(count);
    for (size_t i = 0; i < count; ++i) t[i] = lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(count - 1);
    return t;
}

const GoldenCase kCases[] = {
    {"predict_relevance_nan_linreg", Call::predict, 300, 6, 1, 0.05, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const double t[] = {0.0, 0.2, 0.5, 0.8};
         QEL_OK(qel_predict_options_set_threshold(o.predict, t, 4));
         QEL_OK(qel_predict_options_set_include_linear_regression(o.predict, 1));
     },
     0x04a2f8754b1e6733ull},
    {"predict_relevance_nan_linreg_colmajor", Call::predict, 300, 6, 1, 0.05, Outcome::linear,
     QEL_LAYOUT_COL_MAJOR,
     [](Options& o) {
         const double t[] = {0.0, 0.2, 0.5, 0.8};
         QEL_OK(qel_predict_options_set_threshold(o.predict, t, 4));
         QEL_OK(qel_predict_options_set_include_linear_regression(o.predict, 1));
     },
     0x04a2f8754b1e6733ull},
    {"predict_similarity_t14_lt", Call::predict, 250, 5, 2, 0.0, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const auto t = spaced(14, 0.0, 0.9);
         QEL_OK(qel_predict_options_set_threshold(o.predict, t.data(), t.size()));
         QEL_OK(qel_predict_options_set_censor_type_str(o.predict, "similarity"));
         QEL_OK(qel_predict_options_set_censor_operator_str(o.predict, "<"));
     },
     0xcb131f4780937878ull},
    {"predict_logistic_t12", Call::predict, 200, 4, 3, 0.0, Outcome::binary, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const auto t = spaced(12, 0.0, 0.85);
         QEL_OK(qel_predict_options_set_threshold(o.predict, t.data(), t.size()));
         QEL_OK(qel_predict_options_set_prediction_scale(o.predict, 1));
         QEL_OK(qel_predict_options_set_include_linear_regression(o.predict, 1));
     },
     0x1e5357ef27b5a25full},
    {"predict_score_unit_complete_moments", Call::predict, 280, 5, 4, 0.04, Outcome::linear,
     QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const double t[] = {-4.0, -1.0, 0.0, 0.5, 1.5};
         QEL_OK(qel_predict_options_set_threshold(o.predict, t, 5));
         QEL_OK(qel_predict_options_set_censor_unit_str(o.predict, "score"));
         QEL_OK(qel_predict_options_set_missing_moments(o.predict, 1));
         QEL_OK(qel_predict_options_set_censor_operator_str(o.predict, "gt"));
     },
     0x31c74eda907aa6feull},
    {"predict_cholesky_k33_log", Call::predict, 400, 33, 5, 0.0, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const double t[] = {0.0, 0.3, 0.6};
         QEL_OK(qel_predict_options_set_threshold(o.predict, t, 3));
         QEL_OK(qel_predict_options_set_inv_method(o.predict, 1));
         QEL_OK(qel_predict_options_set_adj_fit_multiplier(o.predict, 2));
     },
     0x95036db59e1f172full},
    {"predict_pinv_k40_similarity", Call::predict, 300, 40, 6, 0.0, Outcome::linear, QEL_LAYOUT_COL_MAJOR,
     [](Options& o) {
         const double t[] = {0.1, 0.5, 0.9};
         QEL_OK(qel_predict_options_set_threshold(o.predict, t, 3));
         QEL_OK(qel_predict_options_set_inv_method(o.predict, 2));
         QEL_OK(qel_predict_options_set_censor_type(o.predict, 1));
         QEL_OK(qel_predict_options_set_adj_fit_multiplier(o.predict, 0));
     },
     0x66328d1ae45701bdull},
    {"predict_large_t13_nan", Call::predict, 20000, 12, 7, 0.01, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const auto t = spaced(13, 0.0, 0.95);
         QEL_OK(qel_predict_options_set_threshold(o.predict, t.data(), t.size()));
     },
     0x6d532096561e8a33ull},
    {"predict_large_t4_k20", Call::predict, 60000, 20, 8, 0.0, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const double t[] = {0.0, 0.2, 0.5, 0.8};
         QEL_OK(qel_predict_options_set_threshold(o.predict, t, 4));
         QEL_OK(qel_predict_options_set_include_linear_regression(o.predict, 1));
     },
     0x0b08cf14c83d6e7dull},
    {"maxfit_defaults", Call::maxfit, 300, 5, 9, 0.0, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options&) {}, 0xbac078ebee1e659bull},
    {"maxfit_relevance_adjusted_fit_logistic", Call::maxfit, 250, 4, 10, 0.0, Outcome::binary,
     QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         QEL_OK(qel_maxfit_options_set_objective(o.maxfit, "adjusted_fit"));
         QEL_OK(qel_maxfit_options_set_censor_type_str(o.maxfit, "relevance"));
         QEL_OK(qel_maxfit_options_set_prediction_scale(o.maxfit, 1));
         QEL_OK(qel_maxfit_options_set_include_linear_regression(o.maxfit, 1));
     },
     0x6ac59d4e2c9b3afbull},
    {"maxfit_both_large_fit", Call::maxfit, 30000, 10, 11, 0.0, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const auto t = spaced(6, 0.0, 0.9);
         QEL_OK(qel_maxfit_options_set_threshold(o.maxfit, t.data(), t.size()));
         QEL_OK(qel_maxfit_options_set_objective(o.maxfit, "fit"));
     },
     0xfb8bebf8ac2a78aeull},
    {"maxfit_both_large_fit_sequential", Call::maxfit, 30000, 10, 11, 0.0, Outcome::linear,
     QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const auto t = spaced(6, 0.0, 0.9);
         QEL_OK(qel_maxfit_options_set_threshold(o.maxfit, t.data(), t.size()));
         QEL_OK(qel_maxfit_options_set_objective(o.maxfit, "fit"));
         QEL_OK(qel_maxfit_options_set_inner_parallel_str(o.maxfit, "off"));
     },
     0xfb8bebf8ac2a78aeull},
    // Rows enough for a prediction to spread its own steps over the pool,
    // inside runs that already spread their censor types and cells over it.
    {"maxfit_both_nested_pool", Call::maxfit, 40000, 6, 16, 0.0, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) { QEL_OK(qel_maxfit_options_set_objective(o.maxfit, "adjusted_fit")); }, 0x1760a45e8e131a69ull},
    {"grid_nested_pool_nan", Call::grid, 40000, 4, 17, 0.01, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         QEL_OK(qel_grid_options_set_max_iter(o.grid, 6));
         QEL_OK(qel_grid_options_set_retain_grid_objects_str(o.grid, "[yhat_cells, adjusted_fit_cells]"));
     },
     0xdf679465c557d2bdull},
    {"grid_small_retain_all_nan", Call::grid, 200, 5, 12, 0.03, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) { QEL_OK(qel_grid_options_set_retain_all(o.grid, 1)); }, 0x9307527e66d5d894ull},
    {"grid_pool_sampled_nan", Call::grid, 600, 7, 13, 0.02, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         QEL_OK(qel_grid_options_set_max_iter(o.grid, 40));
         QEL_OK(qel_grid_options_set_seed(o.grid, 7));
         QEL_OK(qel_grid_options_set_k(o.grid, 2));
         QEL_OK(qel_grid_options_set_retain_grid_objects_str(o.grid, "[yhat_cells, n_cells, ysolo_cells]"));
     },
     0x66e2c54cd625fc48ull},
    {"grid_pool_sampled_nan_sequential", Call::grid, 600, 7, 13, 0.02, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         QEL_OK(qel_grid_options_set_max_iter(o.grid, 40));
         QEL_OK(qel_grid_options_set_seed(o.grid, 7));
         QEL_OK(qel_grid_options_set_k(o.grid, 2));
         QEL_OK(qel_grid_options_set_retain_grid_objects_str(o.grid, "[yhat_cells, n_cells, ysolo_cells]"));
         QEL_OK(qel_grid_options_set_inner_parallel(o.grid, 1));
     },
     0xefbf03dec50888f1ull},
    {"grid_combi_list_similarity_logistic", Call::grid, 300, 4, 14, 0.0, Outcome::binary, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const double combi[] = {1, 1, 0, 0, 0, 1, 1, 1, 1, 0, 1, 0, 1, 1, 1, 1};
         QEL_OK(qel_grid_options_set_attribute_combi(o.grid, combi, 4, 4, QEL_LAYOUT_ROW_MAJOR));
         QEL_OK(qel_grid_options_set_censor_type_str(o.grid, "similarity"));
         QEL_OK(qel_grid_options_set_prediction_scale(o.grid, 1));
         QEL_OK(qel_grid_options_set_retain_grid_objects_str(o.grid, "all"));
         QEL_OK(qel_grid_options_set_include_linear_regression(o.grid, 1));
     },
     0x788bde89c30f7d58ull},
    // Both censor passes sharing one relevance over the complete rows.
    {"maxfit_both_complete_moments", Call::maxfit, 5000, 6, 18, 0.0, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) { QEL_OK(qel_maxfit_options_set_missing_moments(o.maxfit, 1)); }, 0x7021c5c6656f3f3eull},
    // Streamed cells over threshold counts that fill vector lanes unevenly:
    // one threshold, five (a last group overlapping the one before) and
    // thirteen (beyond the split of the fit statistics at eleven).
    {"grid_t1_relevance", Call::grid, 300, 4, 19, 0.0, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const double t[] = {0.3};
         QEL_OK(qel_grid_options_set_threshold(o.grid, t, 1));
         QEL_OK(qel_grid_options_set_censor_type_str(o.grid, "relevance"));
         QEL_OK(qel_grid_options_set_retain_grid_objects_str(o.grid, "[yhat_cells, adjusted_fit_cells]"));
     },
     0xccf4d2a0b68f3b96ull},
    {"grid_t5_nan_sequential", Call::grid, 400, 5, 20, 0.02, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const auto t = spaced(5, 0.0, 0.9);
         QEL_OK(qel_grid_options_set_threshold(o.grid, t.data(), t.size()));
         QEL_OK(qel_grid_options_set_inner_parallel(o.grid, 1));
         QEL_OK(qel_grid_options_set_retain_grid_objects_str(o.grid, "[yhat_cells, ysolo_cells]"));
     },
     0xeaeb269de36bb956ull},
    {"grid_t13_both", Call::grid, 300, 4, 21, 0.0, Outcome::linear, QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         const auto t = spaced(13, 0.0, 0.95);
         QEL_OK(qel_grid_options_set_threshold(o.grid, t.data(), t.size()));
     },
     0xcebf54f3f11cf95aull},
    {"grid_large_relevance_no_missing_adjust", Call::grid, 6000, 5, 15, 0.01, Outcome::linear,
     QEL_LAYOUT_ROW_MAJOR,
     [](Options& o) {
         QEL_OK(qel_grid_options_set_censor_type_str(o.grid, "relevance"));
         QEL_OK(qel_grid_options_set_adjust_impact_for_missing(o.grid, 0));
         QEL_OK(qel_grid_options_set_retain_grid_objects_str(o.grid, "weights_cells, k_cells, adjusted_fit_cells"));
     },
     0x2beafa7fef3b6355ull},
};

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

std::uint64_t run_case(const GoldenCase& c) {
    const Sample s = make_sample(c.n, c.k, c.seed, c.nan_share, c.outcome);
    const std::vector<double> x = c.layout == QEL_LAYOUT_ROW_MAJOR ? s.x : column_major(s);
    Options o;
    QelPredictionResults* r = nullptr;
    int32_t status = -1;
    switch (c.call) {
        case Call::predict:
            o.predict = qel_predict_options_create();
            c.configure(o);
            status = qel_predict(s.y.data(), s.n, x.data(), s.n, s.k, c.layout, s.theta.data(), s.k, o.predict, &r);
            break;
        case Call::maxfit:
            o.maxfit = qel_maxfit_options_create();
            c.configure(o);
            status = qel_maxfit(s.y.data(), s.n, x.data(), s.n, s.k, c.layout, s.theta.data(), s.k, o.maxfit, &r);
            break;
        case Call::grid:
            o.grid = qel_grid_options_create();
            c.configure(o);
            status = qel_grid(s.y.data(), s.n, x.data(), s.n, s.k, c.layout, s.theta.data(), s.k, o.grid, &r);
            break;
    }
    EXPECT_EQ(status, 0) << c.name << ": " << qel_last_error();
    if (status != 0) return 0;
    const std::uint64_t d = digest_results(c.name, r);
    qel_prediction_results_free(r);
    return d;
}

class GoldenBits : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenBits, EveryResultPartKeepsItsBits) {
    const GoldenCase& c = GetParam();
    const std::uint64_t got = run_case(c);
    if (printing()) std::printf("%s %016llx\n", c.name, static_cast<unsigned long long>(got));
    EXPECT_EQ(got, c.expected) << c.name << " digest 0x" << std::hex << got;
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenBits, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

#ifdef QEL_GOLDEN_EVERY_LEVEL
}  // namespace

namespace toolbox::simd {

// The level by its name in test parameters and messages.
constexpr const char* kLevelNames[] = {"portable", "avx2", "avx512"};
void PrintTo(Level level, std::ostream* os) { *os << kLevelNames[static_cast<int>(level)]; }

}  // namespace toolbox::simd

namespace {

using toolbox::simd::Level;
using toolbox::simd::kLevelNames;

class GoldenBitsEveryLevel : public ::testing::TestWithParam<std::tuple<GoldenCase, Level>> {};

TEST_P(GoldenBitsEveryLevel, EveryResultPartKeepsItsBits) {
    const auto& [c, level] = GetParam();
    if (!toolbox::simd::supported(level)) GTEST_SKIP() << "level not run by this build or processor";
    toolbox::simd::testing::force_level(level);
    const std::uint64_t got = run_case(c);
    toolbox::simd::testing::force_level(toolbox::simd::best_level());
    EXPECT_EQ(got, c.expected) << c.name << " at level " << kLevelNames[static_cast<int>(level)] << " digest 0x"
                               << std::hex << got;
}

INSTANTIATE_TEST_SUITE_P(Cases, GoldenBitsEveryLevel,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(Level::Portable, Level::Avx2, Level::Avx512)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    kLevelNames[static_cast<int>(std::get<1>(info.param))];
                         });
#endif

// The host's own threads calling at once share the library's worker pool;
// every run must still give its digest. The large cases split their rows
// over the pool, the max-fit and grid cases also their censor types and
// cells.
TEST(GoldenBitsConcurrent, HostThreadsCallingAtOnceKeepEveryDigest) {
    std::vector<const GoldenCase*> picked;
    for (const GoldenCase& c : kCases) {
        const std::string name = c.name;
        if (name.find("large") != std::string::npos || name.find("pool") != std::string::npos) picked.push_back(&c);
    }
    ASSERT_GE(picked.size(), 4u);
    std::vector<std::uint64_t> got(2 * picked.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < got.size(); ++i) {
        threads.emplace_back([&, i] { got[i] = run_case(*picked[i % picked.size()]); });
    }
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < got.size(); ++i) {
        const GoldenCase& c = *picked[i % picked.size()];
        EXPECT_EQ(got[i], c.expected) << c.name << " from host thread " << i;
    }
}

}  // namespace

// OpenBLAS reads its settings when it is loaded, before main: set them and
// start the program again when they are not yet what the digests assume.
int main(int argc, char** argv) {
    const char* core = std::getenv("OPENBLAS_CORETYPE");
    const char* threads = std::getenv("OPENBLAS_NUM_THREADS");
    if (core == nullptr || std::strcmp(core, "Haswell") != 0 || threads == nullptr ||
        std::strcmp(threads, "1") != 0) {
        setenv("OPENBLAS_CORETYPE", "Haswell", 1);
        setenv("OPENBLAS_NUM_THREADS", "1", 1);
        execv("/proc/self/exe", argv);
        std::perror("execv /proc/self/exe");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
