// Fuzz target: the model calls (predict, max-fit, grid) and the insight calls,
// each also through its argument record, on fuzzed samples: extents from 0
// up, fewer rows than columns, products that overflow, NULL pointers, special
// values, both layouts and fuzzed options. Sizes stay small, so one input
// runs in milliseconds.
//
// Checked for every call: the status and exact message of the first failing
// argument check in the header's order; a success with an empty message; a
// results handle exactly on success; the caller's inputs unchanged; output
// buffers untouched on failure and written only within their results
// (canaries around them). And between calls that must agree bit for bit:
// the argument-record variant and the direct call, the two layouts of one
// sample, a NULL options handle and a fresh one, each insight call and the
// matching output of qel_relevance_metrics.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "results_model.hpp"
#include "support.hpp"

namespace {

using fuzz::Outcome;
using fuzz::str;
using fuzz::ustr;

constexpr int32_t OK = QEL_STATUS_OK, NUL = QEL_STATUS_NULL_POINTER, SIZE = QEL_STATUS_SIZE_MISMATCH,
                  BAD = QEL_STATUS_INVALID_VALUE, FAILED = QEL_STATUS_COMPUTE_FAILED;
constexpr size_t kMax = std::numeric_limits<size_t>::max();

// --- The sample -------------------------------------------------------------------

struct Sample {
    size_t rows = 0, cols = 0, y_len = 0, theta_len = 0;
    int32_t layout = 0;
    std::vector<double> y, x, theta;  // x row-major, rows x cols when the extents are real
    bool y_null = false, x_null = false, theta_null = false;
    bool real = true;  // rows x cols values exist (false: the product overflows)

    // X in the given layout (the row-major values when the code is invalid).
    std::vector<double> stored(int32_t code) const {
        if (code != 1 || !real) return x;
        std::vector<double> out(x.size());
        for (size_t i = 0; i < rows; ++i)
            for (size_t j = 0; j < cols; ++j) out[j * rows + i] = x[i * cols + j];
        return out;
    }
};

Sample sample(FuzzedDataProvider& p, size_t max_rows, size_t max_cols) {
    Sample s;
    const uint8_t mode = p.ConsumeIntegral<uint8_t>();
    const uint8_t lay = p.ConsumeIntegral<uint8_t>();
    s.layout = lay < 248 ? static_cast<int32_t>(lay & 1) : fuzz::code(p);
    s.rows = p.ConsumeIntegralInRange<size_t>(1, max_rows);
    s.cols = p.ConsumeIntegralInRange<size_t>(1, max_cols);
    if (mode >= 200) {
        switch (mode % 8) {
            case 0: s.rows = 0; break;
            case 1: s.cols = 0; break;
            case 2: s.rows = s.cols = 0; break;
            case 3:
                // rows x cols does not fit in 64 bits: refused before X is read.
                s.rows = std::max<size_t>(s.rows, 2);
                s.cols = kMax / s.rows + p.ConsumeIntegralInRange<size_t>(1, 4096);
                s.real = false;
                break;
            case 4: s.y_null = true; break;
            case 5: s.x_null = true; break;
            case 6: s.theta_null = true; break;
            default: break;
        }
    }
    s.y_len = s.rows;
    s.theta_len = s.cols;
    const uint8_t lengths = p.ConsumeIntegral<uint8_t>();
    if (lengths >= 240) {
        // Lengths that disagree with the extents are refused before any read.
        if (lengths & 1) s.y_len = lengths & 2 ? s.rows + 1 + lengths % 3 : s.rows - std::min<size_t>(s.rows, 1);
        else s.theta_len = lengths & 2 ? s.cols + 1 + lengths % 3 : s.cols - std::min<size_t>(s.cols, 1);
    }
    s.y.resize(std::min(s.rows, max_rows) + 1);
    for (size_t i = 0; i < s.rows && s.real; ++i) s.y[i] = p.ConsumeBool() ? fuzz::value(p) : static_cast<double>(i % 3);
    s.x.resize(s.real ? s.rows * s.cols + 1 : 1);
    for (size_t i = 0; i + 1 < s.x.size(); ++i) s.x[i] = fuzz::value(p);
    s.theta.resize(s.real ? s.cols + 1 : 1);
    for (size_t j = 0; j + 1 < s.theta.size(); ++j) s.theta[j] = fuzz::value(p);
    return s;
}

std::string layout_message(int32_t code) {
    return "invalid QelLayout value: " + str(code) + " (use 0=row-major, 1=col-major)";
}

bool bad_layout(int32_t code) { return static_cast<uint32_t>(code) >= 2; }

// The checks that copy X (and theta), in their order.
std::optional<Outcome> matrix_refused(const Sample& s) {
    if (s.x_null) return Outcome{NUL, "matrix pointer is null"};
    if (s.rows == 0 || s.cols == 0) return Outcome{BAD, "matrix dimensions must be non-zero"};
    if (!s.real) return Outcome{BAD, "matrix dimensions overflow"};
    return std::nullopt;
}

// The first refused argument of a model call, or nothing.
std::optional<Outcome> model_refused(const Sample& s) {
    if (bad_layout(s.layout)) return Outcome{BAD, layout_message(s.layout)};
    if (s.y_len != s.rows)
        return Outcome{SIZE, "y length (" + ustr(s.y_len) + ") must equal X rows (" + ustr(s.rows) + ")"};
    if (s.theta_len != s.cols)
        return Outcome{SIZE, "theta length (" + ustr(s.theta_len) + ") must equal X cols (" + ustr(s.cols) + ")"};
    if (s.y_null) return Outcome{NUL, "y pointer is null"};
    if (s.y_len == 0) return Outcome{BAD, "y length must be non-zero"};
    if (auto m = matrix_refused(s)) return m;
    if (s.theta_null) return Outcome{NUL, "theta pointer is null"};
    return std::nullopt;
}

// --- Model calls --------------------------------------------------------------------

enum Model { PREDICT, MAXFIT, GRID };
const char* const kModelName[] = {"qel_predict", "qel_maxfit", "qel_grid"};

// An options handle of the call's kind with fuzzed (valid) settings, or NULL.
struct Options {
    Model model = PREDICT;
    QelPredictOptions* p = nullptr;
    QelGridOptions* g = nullptr;
    QelMaxFitOptions* m = nullptr;
    size_t thresholds = 0;  // the count the run covers
    bool defaults = true;   // no setter changed the handle
    // The settings that decide which data a run refuses, and in whose words.
    int32_t censor = 0;     // 0 relevance, 1 similarity, 2 both
    int32_t inv_method = 0;
    bool logistic = false;
    bool inner_auto = true;
    bool complete_rows = false;  // the missing-moments setting of a prediction or max-fit handle
    // A grid samples a caller's list longer than max_iter from operating-system
    // entropy: such runs are not reproducible, by design.
    size_t combi_rows = 0, max_iter = 1000;
    bool reproducible() const { return combi_rows <= max_iter; }

    Options() = default;
    Options(const Options&) = delete;
    Options& operator=(const Options&) = delete;
    ~Options() {
        qel_predict_options_free(p);
        qel_grid_options_free(g);
        qel_maxfit_options_free(m);
    }
    const void* handle() const {
        return model == PREDICT ? static_cast<const void*>(p)
               : model == GRID  ? static_cast<const void*>(g)
                                : static_cast<const void*>(m);
    }
};

// QEL_FUZZ_DUMP=1 prints each input's sample and settings (to turn a finding
// into a test).
const bool kDump = std::getenv("QEL_FUZZ_DUMP") != nullptr;

#define SET(call)                                                                             \
    do {                                                                                      \
        const Outcome o_ = fuzz::outcome(call);                                               \
        if (kDump) std::fprintf(stderr, "  %s (c %d)\n", #call, c);                         \
        fuzz::expect(#call, o_, {OK, ""});                                                    \
    } while (0)

void options(FuzzedDataProvider& p, Options& o, size_t cols) {
    o.p = qel_predict_options_create();
    o.g = qel_grid_options_create();
    o.m = qel_maxfit_options_create();
    FUZZ_CHECK(o.p && o.g && o.m, "a create call returned NULL");
    o.thresholds = o.model == PREDICT ? 1 : 4;
    o.censor = o.model == PREDICT ? 0 : 2;
    const int steps = p.ConsumeIntegralInRange(0, 8);
    for (int step = 0; step < steps; ++step) {
        o.defaults = false;
        const int which = p.ConsumeIntegralInRange(0, 14);
        const int32_t c = p.ConsumeIntegral<uint8_t>();
        auto shared = [&](auto fn_p, auto fn_g, auto fn_m, int32_t v) {
            SET(o.model == PREDICT ? fn_p(o.p, v) : o.model == GRID ? fn_g(o.g, v) : fn_m(o.m, v));
        };
        switch (which) {
            case 0: {
                std::vector<double> t(p.ConsumeIntegralInRange<size_t>(1, 5));
                for (double& v : t) v = fuzz::threshold(p);
                for (double v : t)
                    if (kDump) std::fprintf(stderr, "  threshold %.17g\n", v);
                const Outcome got = fuzz::outcome(
                    o.model == PREDICT ? qel_predict_options_set_threshold(o.p, t.data(), t.size())
                    : o.model == GRID  ? qel_grid_options_set_threshold(o.g, t.data(), t.size())
                                       : qel_maxfit_options_set_threshold(o.m, t.data(), t.size()));
                // A NaN threshold is refused, and the thresholds stay.
                const auto nan = std::find_if(t.begin(), t.end(), [](double v) { return std::isnan(v); });
                if (nan != t.end()) {
                    fuzz::expect("set_threshold", got,
                                 {BAD, "threshold values[" + ustr(static_cast<size_t>(nan - t.begin())) +
                                           "] is NaN: every threshold must be a number"});
                    break;
                }
                fuzz::expect("set_threshold", got, {OK, ""});
                o.thresholds = t.size();
                break;
            }
            case 1:
                shared(qel_predict_options_set_censor_operator, qel_grid_options_set_censor_operator,
                       qel_maxfit_options_set_censor_operator, c % 4);
                break;
            case 2:
                o.censor = c % (o.model == PREDICT ? 2 : 3);
                shared(qel_predict_options_set_censor_type, qel_grid_options_set_censor_type,
                       qel_maxfit_options_set_censor_type, o.censor);
                break;
            case 3:
                shared(qel_predict_options_set_censor_unit, qel_grid_options_set_censor_unit,
                       qel_maxfit_options_set_censor_unit, c % 2);
                break;
            case 4:
                shared(qel_predict_options_set_adj_fit_multiplier, qel_grid_options_set_adj_fit_multiplier,
                       qel_maxfit_options_set_adj_fit_multiplier, c % 3);
                break;
            case 5:
                o.inv_method = c % 3;
                shared(qel_predict_options_set_inv_method, qel_grid_options_set_inv_method,
                       qel_maxfit_options_set_inv_method, o.inv_method);
                break;
            case 6:
                o.logistic = c % 2 == 1;
                shared(qel_predict_options_set_prediction_scale, qel_grid_options_set_prediction_scale,
                       qel_maxfit_options_set_prediction_scale, c % 2);
                break;
            case 7:
                shared(qel_predict_options_set_include_linear_regression,
                       qel_grid_options_set_include_linear_regression,
                       qel_maxfit_options_set_include_linear_regression, c % 2);
                break;
            case 8:
                if (o.model != GRID) o.complete_rows = c % 2 == 1;
                if (o.model == PREDICT) SET(qel_predict_options_set_missing_moments(o.p, c % 2));
                if (o.model == MAXFIT) SET(qel_maxfit_options_set_missing_moments(o.m, c % 2));
                if (o.model == GRID) SET(qel_grid_options_set_adjust_impact_for_missing(o.g, c % 2));
                break;
            case 9:
                if (o.model == GRID) SET(qel_grid_options_set_inner_parallel(o.g, c % 2));
                if (o.model == MAXFIT) {
                    o.inner_auto = c % 2 == 0;
                    SET(qel_maxfit_options_set_inner_parallel(o.m, c % 2));
                }
                if (o.model == PREDICT) SET(qel_predict_options_set_verbose(o.p, c % 2));
                break;
            case 10:
                if (o.model == MAXFIT) {
                    static const char* const objectives[] = {"fit", "adjusted_fit", "kfit"};
                    SET(qel_maxfit_options_set_objective(o.m, objectives[c % 3]));
                }
                if (o.model == GRID) SET(qel_grid_options_set_k(o.g, static_cast<size_t>(c % 8 + 1)));
                break;
            case 11:
                if (o.model == GRID) {
                    o.max_iter = static_cast<size_t>(c % 12 + 1);
                    SET(qel_grid_options_set_max_iter(o.g, o.max_iter));
                }
                break;
            case 12:
                if (o.model == GRID) SET(qel_grid_options_set_seed(o.g, p.ConsumeIntegral<int32_t>()));
                break;
            case 13:
                if (o.model == GRID) {
                    static const char* const retain[] = {"all", "none", "[yhat_cells, k_cells]", "ysolo_cells",
                                                         "weights_cells, n_cells", "combi_cells", "ysolo_distribution",
                                                         "adjusted_fit_cells", "[]"};
                    SET(qel_grid_options_set_retain_grid_objects_str(o.g, retain[c % 9]));
                }
                break;
            default:
                if (o.model == GRID) {
                    // The caller's combinations: mostly one column per attribute.
                    const size_t rows = p.ConsumeIntegralInRange<size_t>(1, 6);
                    const size_t width = p.ConsumeIntegralInRange<uint8_t>(0, 9) == 0
                                             ? p.ConsumeIntegralInRange<size_t>(1, 8)
                                             : std::clamp<size_t>(cols, 1, 8);
                    std::vector<double> combi(rows * width);
                    for (double& v : combi) v = p.ConsumeIntegralInRange<uint8_t>(0, 15) == 0 ? fuzz::value(p) : p.ConsumeBool();
                    if (kDump) std::fprintf(stderr, "  combinations %zu x %zu:", rows, width);
                    for (double v : combi)
                        if (kDump) std::fprintf(stderr, " %g", v);
                    if (kDump) std::fprintf(stderr, "\n");
                    SET(qel_grid_options_set_attribute_combi(o.g, combi.data(), rows, width, c % 2));
                    o.combi_rows = rows;
                }
                break;
        }
    }
    if (o.model == GRID) {
        // Bounded work: at most a dozen combinations per censor type.
        if (p.ConsumeBool() || cols > 4) {
            const int32_t c = p.ConsumeIntegralInRange(1, 12);
            o.max_iter = static_cast<size_t>(c);
            SET(qel_grid_options_set_max_iter(o.g, o.max_iter));
            o.defaults = false;
        }
    }
}

using ModelFn = int32_t (*)(const double*, size_t, const double*, size_t, size_t, int32_t, const double*, size_t,
                            const void*, QelPredictionResults**);

int32_t call_model(Model m, bool record, const Sample& s, const double* x, const void* handle,
                   QelPredictionResults** out) {
    const double* y = s.y_null ? nullptr : s.y.data();
    const double* xp = s.x_null ? nullptr : x;
    const double* th = s.theta_null ? nullptr : s.theta.data();
    if (record) {
        const QelModelCallArgs args{y, s.y_len, xp, s.rows, s.cols, s.layout, th, s.theta_len, handle, out};
        return m == PREDICT ? qel_predict_call(&args) : m == GRID ? qel_grid_call(&args) : qel_maxfit_call(&args);
    }
    switch (m) {
        case PREDICT:
            return qel_predict(y, s.y_len, xp, s.rows, s.cols, s.layout, th, s.theta_len,
                               static_cast<const QelPredictOptions*>(handle), out);
        case GRID:
            return qel_grid(y, s.y_len, xp, s.rows, s.cols, s.layout, th, s.theta_len,
                            static_cast<const QelGridOptions*>(handle), out);
        default:
            return qel_maxfit(y, s.y_len, xp, s.rows, s.cols, s.layout, th, s.theta_len,
                              static_cast<const QelMaxFitOptions*>(handle), out);
    }
}

struct Run {
    Outcome outcome;
    std::string digest;
};

std::string number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    // The samples' outcomes are eighths, small integers or 32-bit integers
    // (see fuzz::value); any other value is not predicted here.
    const double eighths = v * 8.0;
    if (eighths != std::floor(eighths) || std::fabs(v) >= 1e15) return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    std::string out = buf;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out == "-0" ? "-0" : out;
}

// The value of column j when its observed values (two or more) are finite
// and all equal: a column an inversion by LU or Cholesky refuses.
std::optional<double> constant_value(const Sample& s, size_t j) {
    size_t observed = 0;
    double first = 0.0;
    for (size_t i = 0; i < s.rows; ++i) {
        const double v = s.x[i * s.cols + j];
        if (std::isnan(v)) continue;
        if (observed++ == 0) first = v;
        if (std::isinf(v) || v != first) return std::nullopt;
    }
    if (observed < 2) return std::nullopt;
    return first;
}

std::string no_spread(size_t j, const std::string& value) {
    return "column " + ustr(j) + " of X has no spread (every observed value is " + value +
           "): drop it, or use the pseudoinverse";
}

// The data a run refuses once its arguments pass, in the order the engine
// checks: a non-finite outcome, on the logistic scale an outcome outside
// [0, 1], a non-finite target value (a grid: a target without a finite
// value), and, for a prediction or max-fit run inverting by LU or Cholesky,
// a column without spread. `o` is the handle's settings, NULL for the
// defaults. Nothing when the data passes, or when the message holds a value
// this cannot write.
std::optional<Outcome> data_refused(Model m, const Sample& s, const Options* o) {
    const int32_t censor = o ? o->censor : m == PREDICT ? 0 : 2;
    const bool logistic = o && o->logistic;
    const bool pooled = m == MAXFIT && censor == 2 && (o == nullptr || o->inner_auto);
    const std::string prefix = pooled ? "Setup error: " : "";
    auto refused = [&](const std::string& message) -> std::optional<Outcome> {
        if (message.empty()) return Outcome{-1, ""};  // refused, words unknown
        return Outcome{FAILED, prefix + message};
    };
    for (size_t i = 0; i < s.rows; ++i) {
        if (!std::isfinite(s.y[i])) {
            return refused("y[" + ustr(i) + "] is " + number(s.y[i]) +
                           ": every outcome must be a finite number (drop row " + ustr(i) + " from y and X)");
        }
    }
    if (logistic) {
        for (size_t i = 0; i < s.rows; ++i) {
            if (s.y[i] >= 0.0 && s.y[i] <= 1.0) continue;
            const std::string v = number(s.y[i]);
            return refused(v.empty() ? v
                                     : "y[" + ustr(i) + "] is " + v +
                                           ": the logistic scale needs outcomes between 0 and 1 (give 0/1 "
                                           "outcomes, or use the response scale)");
        }
    }
    if (m == GRID) {
        for (size_t j = 0; j < s.cols; ++j)
            if (std::isfinite(s.theta[j])) return std::nullopt;
        return refused(
            "theta has no finite value: every cell of a grid run would use a missing target attribute (give the "
            "target a value for at least one attribute)");
    }
    for (size_t j = 0; j < s.cols; ++j) {
        if (!std::isfinite(s.theta[j])) {
            return refused("theta[" + ustr(j) + "] is " + number(s.theta[j]) +
                           ": a prediction needs a value for every target attribute (drop attribute " + ustr(j) +
                           " from X and theta, or use a grid run, whose cells without it still predict)");
        }
    }
    const int32_t inv_method = o ? o->inv_method : 0;
    for (size_t j = 0; j < s.cols && inv_method != 2; ++j) {
        if (const auto value = constant_value(s, j)) {
            const std::string v = number(*value);
            return refused(v.empty() ? v : no_spread(j, v));
        }
    }
    return std::nullopt;
}

// Refusals whose words this target cannot foresee still say something true:
// a covariance too close to singular gives a reciprocal condition number
// below machine epsilon; a column without spread (in a grid, one that some
// cell uses) is one; an indefinite covariance has a negative eigenvalue and
// comes from the pairwise rule of a prediction or max-fit run, on X with a
// missing value; the one observation with a relevance of such a run is a
// complete row. `o` is the handle's settings, NULL for the defaults.
void check_refusal(const std::string& name, Model m, const Sample& s, const Options* o, const Outcome& got) {
    if (got.status != FAILED) return;
    if (got.message.find("only one observation has a relevance") != std::string::npos) {
        size_t complete = 0;
        for (size_t i = 0; i < s.rows; ++i) {
            complete += std::none_of(s.x.begin() + static_cast<long>(i * s.cols),
                                     s.x.begin() + static_cast<long>((i + 1) * s.cols),
                                     [](double v) { return std::isnan(v); });
        }
        FUZZ_CHECK(m != GRID && complete >= 1, name + ": refused a run for one relevance without a complete row: " +
                                                   fuzz::show(got));
    }
    const std::string indefinite = "covariance of X is indefinite (smallest eigenvalue ";
    if (const auto at = got.message.find(indefinite); at != std::string::npos) {
        const double smallest = std::strtod(got.message.c_str() + at + indefinite.size(), nullptr);
        const bool missing = std::any_of(s.x.begin(), s.x.begin() + static_cast<long>(s.rows * s.cols),
                                         [](double v) { return std::isnan(v); });
        FUZZ_CHECK(smallest < 0.0 && missing && m != GRID && !(o && o->complete_rows),
                   name + ": refused a covariance as indefinite that is not pairwise with missing values, or whose "
                          "eigenvalue is not negative: " + fuzz::show(got));
    }
    if (got.message.rfind("column ", 0) == 0 && got.message.find(" of X has no spread") != std::string::npos) {
        const size_t j = std::strtoull(got.message.c_str() + 7, nullptr, 10);
        FUZZ_CHECK(j < s.cols && constant_value(s, j), name + ": refused a column with spread: " + fuzz::show(got));
    }
    const std::string key = "Matrix is numerically singular (reciprocal condition number ";
    const auto at = got.message.find(key);
    if (at == std::string::npos) return;
    const double rcond = std::strtod(got.message.c_str() + at + key.size(), nullptr);
    FUZZ_CHECK(rcond >= 0.0 && rcond < std::numeric_limits<double>::epsilon(),
               name + ": refused a covariance with a reciprocal condition number of " + std::to_string(rcond));
}

// One model call, checked on its own; returns its outcome and results digest.
Run run_model(Model m, bool record, const Sample& s, int32_t layout, const void* handle, const Options& o,
              const Outcome* after_inputs = nullptr) {
    Sample t = s;
    t.layout = layout;
    const std::vector<double> x = t.stored(layout);
    const std::vector<double> x_before = x, y_before = t.y, theta_before = t.theta;
    const std::string name = std::string(kModelName[m]) + (record ? "_call" : "");

    // Without an out-pointer the call refuses before anything else.
    fuzz::stain();
    fuzz::expect(name.c_str(), fuzz::outcome(call_model(m, record, t, x.data(), handle, nullptr)),
                 {NUL, "out_results is null"});

    QelPredictionResults* results = reinterpret_cast<QelPredictionResults*>(&results);  // an old, bad value
    fuzz::stain();
    const Outcome got = fuzz::outcome(call_model(m, record, t, x.data(), handle, &results));
    fuzz::check_channel(name.c_str(), got);
    FUZZ_CHECK(fuzz::same_bits(x.data(), x_before.data(), x.size()) && fuzz::same_bits(t.y.data(), y_before.data(), t.y.size()) &&
                   fuzz::same_bits(t.theta.data(), theta_before.data(), t.theta.size()),
               name + " wrote into the caller's inputs");
    if (auto refused = model_refused(t)) {
        fuzz::expect(name.c_str(), got, *refused);
    } else if (after_inputs) {
        fuzz::expect(name.c_str(), got, *after_inputs);
    } else if (auto unusable = data_refused(m, t, handle ? &o : nullptr)) {
        if (unusable->status == -1) {
            FUZZ_CHECK(got.status == FAILED, name + " ran on data it must refuse: " + fuzz::show(got));
        } else {
            fuzz::expect(name.c_str(), got, *unusable);
        }
    } else {
        FUZZ_CHECK(got.status == OK || got.status == FAILED, name + " on valid arguments: " + fuzz::show(got));
        check_refusal(name, m, t, handle ? &o : nullptr, got);
    }
    FUZZ_CHECK((got.status == OK) == (results != nullptr), name + ": results handle " +
                                                               (results ? "set on failure" : "NULL on success"));
    Run run{got, {}};
    if (got.status != OK) return run;

    // The results describe this sample and these options.
    FUZZ_CHECK(qel_results_num_observations(results) == t.rows, name + ": N differs from the rows of X");
    FUZZ_CHECK(qel_results_num_variables(results) == t.cols, name + ": K differs from the columns of X");
    // The thresholds the run covered: the handle's, or the defaults.
    const size_t searched = handle ? o.thresholds : m == PREDICT ? 1 : 4;
    const size_t T = qel_results_num_thresholds(results);
    FUZZ_CHECK(T == (m == PREDICT ? searched : 1), name + ": " + ustr(T) + " thresholds in the results");
    if (m == MAXFIT) {
        const size_t len = qel_results_maxfit_index_len(results);
        FUZZ_CHECK(len == searched, name + ": max-fit index of " + ustr(len) + " for " + ustr(searched));
        std::vector<double> index(len);
        fuzz::expect("qel_results_copy_maxfit_index", fuzz::outcome(qel_results_copy_maxfit_index(results, index.data(), len)),
                     {OK, ""});
        size_t ones = 0;
        for (double v : index) {
            FUZZ_CHECK(v == 0.0 || v == 1.0, name + ": max-fit index holds " + std::to_string(v));
            ones += v == 1.0;
        }
        FUZZ_CHECK(ones == 1, name + ": max-fit index is not one-hot");
    }
    run.digest = fuzz::results::digest(results);
    const std::string& stained = fuzz::stain();
    qel_prediction_results_free(results);
    FUZZ_CHECK(fuzz::last_error() == stained, "qel_prediction_results_free touched the message");
    return run;
}

void dump(const Sample& s) {
    if (!kDump) return;
    std::fprintf(stderr, "rows %zu cols %zu y_len %zu theta_len %zu layout %d%s%s%s%s\n", s.rows, s.cols, s.y_len,
                 s.theta_len, s.layout, s.real ? "" : " (overflow)", s.y_null ? " y NULL" : "", s.x_null ? " X NULL" : "",
                 s.theta_null ? " theta NULL" : "");
    auto row = [](const char* label, const double* v, size_t n) {
        std::fprintf(stderr, "%s", label);
        for (size_t i = 0; i < n; ++i) std::fprintf(stderr, " %.17g", v[i]);
        std::fprintf(stderr, "\n");
    };
    if (!s.real) return;
    row("y:", s.y.data(), s.rows);
    for (size_t i = 0; i < s.rows; ++i) row("X:", s.x.data() + i * s.cols, s.cols);
    row("theta:", s.theta.data(), s.cols);
}

void model_case(FuzzedDataProvider& p, Model m) {
    const Sample s = sample(p, m == PREDICT ? 24 : 16, m == GRID ? 5 : 6);
    if (kDump) std::fprintf(stderr, "%s\n", kModelName[m]);
    dump(s);
    // Percentile cut-offs by either algorithm (a process-wide setting).
    const int32_t algorithm = p.ConsumeIntegralInRange(0, 3) == 0;
    fuzz::expect("qel_set_percentile_value_algorithm", fuzz::outcome(qel_set_percentile_value_algorithm(algorithm)), {OK, ""});
    Options o;
    o.model = m;
    options(p, o, s.cols);
    const Run direct = run_model(m, false, s, s.layout, o.handle(), o);
    const std::string name = kModelName[m];

    // The record variant is the same call.
    const Run record = run_model(m, true, s, s.layout, o.handle(), o);
    const bool compare = o.reproducible();
    FUZZ_CHECK(!compare || record.outcome == direct.outcome, name + "_call: " + fuzz::show(record.outcome) + ", direct call: " +
                                                     fuzz::show(direct.outcome));
    FUZZ_CHECK(!compare || record.digest == direct.digest, name + "_call: results differ from the direct call's");

    fuzz::stain();
    fuzz::expect((name + "_call").c_str(),
                 fuzz::outcome(m == PREDICT ? qel_predict_call(nullptr)
                               : m == GRID  ? qel_grid_call(nullptr)
                                            : qel_maxfit_call(nullptr)),
                 {NUL, "args is null"});

    // The other layout of the same values gives the same bits.
    if (!bad_layout(s.layout) && s.real && compare) {
        const Run other = run_model(m, false, s, 1 - s.layout, o.handle(), o);
        FUZZ_CHECK(other.outcome == direct.outcome, name + ": layouts disagree: " + fuzz::show(other.outcome) + " vs " +
                                                        fuzz::show(direct.outcome));
        FUZZ_CHECK(other.digest == direct.digest, name + ": the two layouts give different results");
    }
    // A handle of another kind (a host's cast) is refused once the inputs pass.
    static const char* const foreign[] = {"options is not a predict options handle",
                                          "options is not a max-fit options handle",
                                          "options is not a grid options handle"};
    const Outcome refused{BAD, foreign[m]};
    const void* other = m == PREDICT ? static_cast<const void*>(p.ConsumeBool() ? static_cast<const void*>(o.g) : o.m)
                                     : static_cast<const void*>(o.p);
    run_model(m, p.ConsumeBool(), s, s.layout, other, o, &refused);

    // A covariance that is not finite fails every model call: an infinite
    // value in a row without missing values (for a grid, in a column without
    // them, which the covariance of the complete columns holds), or data whose
    // covariance the prediction refuses as not finite.
    if (direct.outcome.status == OK && s.real) {
        bool nan = false, inf_in_complete_row = false;
        std::vector<char> col_nan(s.cols, 0), col_inf(s.cols, 0);
        for (size_t i = 0; i < s.rows; ++i) {
            bool row_nan = false, row_inf = false;
            for (size_t j = 0; j < s.cols; ++j) {
                const double v = s.x[i * s.cols + j];
                row_nan |= std::isnan(v);
                row_inf |= std::isinf(v);
                col_nan[j] |= std::isnan(v);
                col_inf[j] |= std::isinf(v);
            }
            nan |= row_nan;
            inf_in_complete_row |= row_inf && !row_nan;
        }
        bool inf_in_complete_column = false;
        for (size_t j = 0; j < s.cols; ++j) inf_in_complete_column |= col_inf[j] && !col_nan[j];
        FUZZ_CHECK(m == GRID ? !inf_in_complete_column : !inf_in_complete_row,
                   name + " succeeded on X with an infinite value and no missing value beside it");
        if (m != PREDICT && !nan) {
            const Run plain = run_model(PREDICT, false, s, s.layout, nullptr, o);
            FUZZ_CHECK(plain.outcome.message.rfind("covariance of X is not finite", 0) != 0,
                       name + " succeeded where qel_predict finds the covariance not finite: " + fuzz::show(plain.outcome));
        }
    }

    // A prediction retains something exactly when some observation has a
    // finite censor score, which on complete data the insight call computes
    // from the same covariance: a run that succeeds has one, and a run
    // refused for having none has none.
    if (m == PREDICT && s.real && !model_refused(s) && !data_refused(m, s, &o) && o.inv_method == 0 &&
        std::all_of(s.x.begin(), s.x.begin() + static_cast<long>(s.rows * s.cols),
                    [](double v) { return std::isfinite(v); })) {
        std::vector<double> relevance(s.rows), similarity(s.rows);
        const std::vector<double> x = s.stored(s.layout);
        const int32_t status = qel_relevance_metrics(x.data(), s.rows, s.cols, s.layout, s.theta.data(), s.cols,
                                                     nullptr, 0, relevance.data(), s.rows, similarity.data(), s.rows,
                                                     nullptr, 0, nullptr, 0);
        const std::string none = "no observation has a finite ";
        const bool no_score = direct.outcome.status == FAILED && direct.outcome.message.rfind(none, 0) == 0;
        if (status == OK && (direct.outcome.status == OK || no_score)) {
            const std::vector<double>& scores = o.censor == 1 ? similarity : relevance;
            const bool finite = std::any_of(scores.begin(), scores.end(), [](double v) { return std::isfinite(v); });
            FUZZ_CHECK(finite == (direct.outcome.status == OK),
                       name + (finite ? " refused scores that are finite: " : " ran without a finite score: ") +
                           fuzz::show(direct.outcome));
        }
    }

    // No handle means the defaults of a fresh one.
    if (o.defaults) {
        const Run none = run_model(m, false, s, s.layout, nullptr, o);
        FUZZ_CHECK(none.outcome == direct.outcome, name + ": NULL options and a fresh handle disagree");
        FUZZ_CHECK(none.digest == direct.digest, name + ": NULL options and a fresh handle give different results");
    }
}

// --- Insight calls --------------------------------------------------------------------

// A caller buffer with canaries on both sides.
struct Out {
    static constexpr size_t kGuard = 4;
    static constexpr double kCanary = -7.25e-123;
    std::vector<double> area;
    size_t len = 0;
    bool null = false;

    // Exact, longer, short, huge (a length far beyond the allocation) or NULL.
    Out(FuzzedDataProvider& p, size_t need) {
        const uint8_t c = p.ConsumeIntegral<uint8_t>();
        len = c < 170 ? need : c < 200 ? need + 1 + c % 3 : c < 230 ? need - std::min<size_t>(need, 1 + c % 2) : c < 245 ? kMax - c % 2 : need;
        null = c >= 245;
        area.assign(std::min(len, need + 3) + 2 * kGuard, kCanary);
    }
    // The same buffer class, with fresh canaries.
    Out fresh() const {
        Out o = *this;
        o.area.assign(area.size(), kCanary);
        return o;
    }
    double* ptr() { return null ? nullptr : area.data() + kGuard; }
    double* data() { return area.data() + kGuard; }
    // Everything but the first `written` elements still holds the canary.
    void untouched_but(size_t written, const std::string& who) const {
        for (size_t i = 0; i < area.size(); ++i) {
            const bool inside = !null && i >= kGuard && i < kGuard + written;
            if (!inside) FUZZ_CHECK(std::memcmp(&area[i], &kCanary, sizeof kCanary) == 0, who + ": element written outside its result");
        }
    }
};

enum Insight { INFO_X, INFO_THETA, SIMILARITY, RELEVANCE };
const char* const kInsightName[] = {"info_x", "info_theta", "similarity", "relevance"};

struct CovInv {
    bool given = false;
    std::vector<double> values;
    int32_t layout = 0;
};

std::optional<Outcome> insight_refused(const Sample& s, const CovInv& c, bool info_x) {
    if (!info_x && s.theta_len != s.cols)
        return Outcome{SIZE, "theta length (" + ustr(s.theta_len) + ") must equal X cols (" + ustr(s.cols) + ")"};
    if (bad_layout(s.layout)) return Outcome{BAD, layout_message(s.layout)};
    if (auto m = matrix_refused(s)) return m;
    if (!info_x && s.theta_null) return Outcome{NUL, "theta pointer is null"};
    if (c.given && bad_layout(c.layout)) return Outcome{BAD, layout_message(c.layout)};
    return std::nullopt;
}

// The inputs the caller lent a call, to check afterwards that it only read them.
struct Lent {
    std::vector<double> x, theta, cov_inv;
    Lent(const std::vector<double>& x_, const Sample& s, const CovInv& c) : x(x_), theta(s.theta), cov_inv(c.values) {}
    void unchanged(const std::vector<double>& x_, const Sample& s, const CovInv& c, const std::string& who) const {
        FUZZ_CHECK(fuzz::same_bits(x.data(), x_.data(), x.size()) && fuzz::same_bits(theta.data(), s.theta.data(), theta.size()) &&
                       fuzz::same_bits(cov_inv.data(), c.values.data(), cov_inv.size()),
                   who + " wrote into the caller's inputs");
    }
};

struct InsightRun {
    Outcome outcome;
    std::vector<double> values;  // the result, when the call succeeded
};

InsightRun run_insight(Insight which, bool record, const Sample& s, int32_t layout, const CovInv& c, Out& out) {
    Sample t = s;
    t.layout = layout;
    const std::vector<double> x = t.stored(layout);
    const double* xp = t.x_null ? nullptr : x.data();
    const double* th = t.theta_null ? nullptr : t.theta.data();
    const double* ci = c.given ? c.values.data() : nullptr;
    const std::string name = std::string("qel_") + kInsightName[which] + (record ? "_call" : "");
    const Lent lent(x, t, c);
    fuzz::stain();
    int32_t status;
    if (record) {
        const QelInsightCallArgs args{xp, t.rows, t.cols, t.layout, th, t.theta_len, out.ptr(), out.len};
        status = which == INFO_X       ? qel_info_x_call(&args)
                 : which == INFO_THETA ? qel_info_theta_call(&args)
                 : which == SIMILARITY ? qel_similarity_call(&args)
                                       : qel_relevance_call(&args);
    } else {
        status = which == INFO_X       ? qel_info_x(xp, t.rows, t.cols, t.layout, ci, c.layout, out.ptr(), out.len)
                 : which == INFO_THETA ? qel_info_theta(xp, t.rows, t.cols, t.layout, th, t.theta_len, ci, c.layout, out.ptr(), out.len)
                 : which == SIMILARITY ? qel_similarity(xp, t.rows, t.cols, t.layout, th, t.theta_len, ci, c.layout, out.ptr(), out.len)
                                       : qel_relevance(xp, t.rows, t.cols, t.layout, th, t.theta_len, ci, c.layout, out.ptr(), out.len);
    }
    const Outcome got = fuzz::outcome(status);
    fuzz::check_channel(name.c_str(), got);
    lent.unchanged(x, t, c, name);
    const size_t need = which == INFO_THETA ? 1 : t.rows;
    if (auto refused = insight_refused(t, c, which == INFO_X)) {
        fuzz::expect(name.c_str(), got, *refused);
    } else if (got.status != FAILED) {
        const std::string n = kInsightName[which];
        const Outcome want = out.null           ? Outcome{NUL, n + " out buffer is null"}
                             : out.len < need ? Outcome{SIZE, n + ": out buffer too small: need " + ustr(need) + ", got " + ustr(out.len)}
                                                : Outcome{OK, ""};
        fuzz::expect(name.c_str(), got, want);
    }
    out.untouched_but(got.status == OK ? need : 0, name);
    InsightRun run{got, {}};
    if (got.status == OK) run.values.assign(out.data(), out.data() + need);
    return run;
}

struct MetricsRun {
    Outcome outcome;
    std::vector<double> values[4];  // relevance, similarity, info_x, info_theta, when written
};

MetricsRun run_metrics(bool record, const Sample& s, int32_t layout, const CovInv& c, std::vector<Out>& outs) {
    Sample t = s;
    t.layout = layout;
    const std::vector<double> x = t.stored(layout);
    const double* xp = t.x_null ? nullptr : x.data();
    const double* th = t.theta_null ? nullptr : t.theta.data();
    const std::string name = record ? "qel_relevance_metrics_call" : "qel_relevance_metrics";
    const Lent lent(x, t, c);
    fuzz::stain();
    int32_t status;
    if (record) {
        const QelRelevanceMetricsCallArgs args{xp, t.rows, t.cols, t.layout, th, t.theta_len,
                                               outs[0].ptr(), outs[0].len, outs[1].ptr(), outs[1].len,
                                               outs[2].ptr(), outs[2].len, outs[3].ptr(), outs[3].len};
        status = qel_relevance_metrics_call(&args);
    } else {
        status = qel_relevance_metrics(xp, t.rows, t.cols, t.layout, th, t.theta_len, c.given ? c.values.data() : nullptr,
                                       c.layout, outs[0].ptr(), outs[0].len, outs[1].ptr(), outs[1].len, outs[2].ptr(),
                                       outs[2].len, outs[3].ptr(), outs[3].len);
    }
    const Outcome got = fuzz::outcome(status);
    fuzz::check_channel(name.c_str(), got);
    lent.unchanged(x, t, c, name);
    static const char* const names[] = {"relevance", "similarity", "info_x", "info_theta"};
    size_t written = 0;  // outputs written, in order
    if (auto refused = insight_refused(t, c, false)) {
        fuzz::expect(name.c_str(), got, *refused);
    } else if (got.status != FAILED) {
        // NULL buffers are skipped; the first short one stops the call.
        Outcome want{OK, ""};
        for (written = 0; written < 4; ++written) {
            const size_t need = written == 3 ? 1 : t.rows;
            if (!outs[written].null && outs[written].len < need) {
                want = {SIZE, std::string(names[written]) + ": out buffer too small: need " + ustr(need) + ", got " +
                                  ustr(outs[written].len)};
                break;
            }
        }
        fuzz::expect(name.c_str(), got, want);
    }
    MetricsRun run{got, {}};
    for (size_t k = 0; k < 4; ++k) {
        const size_t need = k == 3 ? 1 : t.rows;
        const bool filled = k < written && !outs[k].null;
        outs[k].untouched_but(filled ? need : 0, name + " (" + names[k] + ")");
        if (filled) run.values[k].assign(outs[k].data(), outs[k].data() + need);
    }
    return run;
}

bool same(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && fuzz::same_values(a.data(), b.data(), a.size());
}

void insight_case(FuzzedDataProvider& p) {
    const Sample s = sample(p, 32, 8);
    if (kDump) std::fprintf(stderr, "insight calls\n");
    dump(s);
    CovInv c;
    if (p.ConsumeIntegralInRange(0, 3) == 0 && s.real && s.cols > 0) {
        c.given = true;
        const uint8_t lay = p.ConsumeIntegral<uint8_t>();
        c.layout = lay < 240 ? static_cast<int32_t>(lay & 1) : fuzz::code(p);
        c.values.resize(s.cols * s.cols);
        const bool identity = p.ConsumeBool();
        for (size_t i = 0; i < s.cols; ++i)
            for (size_t j = 0; j < s.cols; ++j) c.values[i * s.cols + j] = identity ? (i == j) : fuzz::value(p);
    }
    const size_t n = s.real ? s.rows : 1;
    InsightRun single[4];
    for (int w = INFO_X; w <= RELEVANCE; ++w) {
        Out out(p, w == INFO_THETA ? 1 : n);
        single[w] = run_insight(static_cast<Insight>(w), false, s, s.layout, c, out);
        // The record variant computes its own inverse covariance.
        if (!c.given) {
            Out again = out.fresh();
            const InsightRun r = run_insight(static_cast<Insight>(w), true, s, s.layout, c, again);
            FUZZ_CHECK(r.outcome == single[w].outcome && same(r.values, single[w].values),
                       std::string("qel_") + kInsightName[w] + "_call differs from the direct call");
        }
        if (!bad_layout(s.layout) && s.real) {
            Out again = out.fresh();
            const InsightRun r = run_insight(static_cast<Insight>(w), false, s, 1 - s.layout, c, again);
            FUZZ_CHECK(r.outcome == single[w].outcome && same(r.values, single[w].values),
                       std::string("qel_") + kInsightName[w] + ": the two layouts disagree");
        }
    }
    std::vector<Out> outs;
    for (size_t k = 0; k < 4; ++k) {
        outs.emplace_back(p, k == 3 ? 1 : n);
        if (p.ConsumeIntegralInRange(0, 7) == 0) outs.back().null = true;
    }
    const MetricsRun metrics = run_metrics(false, s, s.layout, c, outs);
    if (!c.given) {
        std::vector<Out> again;
        for (const Out& o : outs) again.push_back(o.fresh());
        const MetricsRun r = run_metrics(true, s, s.layout, c, again);
        FUZZ_CHECK(r.outcome == metrics.outcome, "qel_relevance_metrics_call differs from the direct call");
        for (size_t k = 0; k < 4; ++k) FUZZ_CHECK(same(r.values[k], metrics.values[k]), "qel_relevance_metrics_call values differ");
    }
    fuzz::stain();
    fuzz::expect("qel_relevance_metrics_call", fuzz::outcome(qel_relevance_metrics_call(nullptr)), {NUL, "args is null"});
    fuzz::stain();
    fuzz::expect("qel_similarity_call", fuzz::outcome(qel_similarity_call(nullptr)), {NUL, "args is null"});

    // One relevance computation: each single output is the matching output of
    // qel_relevance_metrics, and relevance = similarity + (info_x + info_theta) / 2.
    const int order[4] = {RELEVANCE, SIMILARITY, INFO_X, INFO_THETA};
    for (size_t k = 0; k < 4; ++k) {
        const InsightRun& one = single[order[k]];
        if (one.outcome.status == OK && !metrics.values[k].empty())
            FUZZ_CHECK(same(one.values, metrics.values[k]),
                       std::string("qel_") + kInsightName[order[k]] + " differs from qel_relevance_metrics");
    }
    if (!metrics.values[0].empty() && !metrics.values[1].empty() && !metrics.values[2].empty() && !metrics.values[3].empty()) {
        for (size_t i = 0; i < metrics.values[0].size(); ++i) {
            const double want = metrics.values[1][i] + (metrics.values[2][i] + metrics.values[3][0]) / 2;
            const double got = metrics.values[0][i];
            FUZZ_CHECK(std::memcmp(&want, &got, sizeof got) == 0 || (std::isnan(want) && std::isnan(got)),
                       "relevance is not similarity + (info_x + info_theta) / 2");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Verbose runs print progress lines; keep them out of the fuzzer's output.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    switch (p.ConsumeIntegralInRange(0, 3)) {
        case 0: model_case(p, PREDICT); break;
        case 1: model_case(p, MAXFIT); break;
        case 2: model_case(p, GRID); break;
        default: insight_case(p); break;
    }
    return 0;
}
