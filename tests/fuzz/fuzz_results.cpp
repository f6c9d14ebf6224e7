// Fuzz target: the results exports. Each input makes results handles by real
// calls (a prediction, a max-fit run and a grid run that keeps fuzzed cell
// details) on a small fuzzed sample, and then reads them, and a NULL handle,
// through every presence test, dimension query and count, and through a
// fuzzed series of copies with exact, short, longer, huge and NULL buffers,
// any layout and censor code. Every answer is checked against the header:
// the queries against each other, each copy's status and exact message in
// its family's check order, nothing written on failure, nothing written
// beyond the copied part (canaries around every buffer), a column-major copy
// the transpose of the row-major one, an include mask of 0 and 1 only.
#include <cstdio>
#include <vector>

#include "results_model.hpp"
#include "support.hpp"

namespace {

namespace res = fuzz::results;

struct Owned {
    QelPredictionResults* h = nullptr;
    ~Owned() { qel_prediction_results_free(h); }
};

// A sample that most calls accept: rows x cols with rows > cols, small integer
// values with a few special ones.
struct Sample {
    size_t rows, cols;
    std::vector<double> y, x, theta;
};

Sample sample(FuzzedDataProvider& p) {
    Sample s;
    s.cols = p.ConsumeIntegralInRange<size_t>(1, 4);
    s.rows = s.cols + p.ConsumeIntegralInRange<size_t>(1, 12);
    s.y.resize(s.rows);
    s.x.resize(s.rows * s.cols);
    s.theta.resize(s.cols);
    for (double& v : s.y) v = p.ConsumeIntegralInRange(0, 15) == 0 ? fuzz::value(p) : p.ConsumeIntegralInRange(-4, 4);
    for (double& v : s.x) v = p.ConsumeIntegralInRange(0, 31) == 0 ? fuzz::value(p) : p.ConsumeIntegralInRange(-8, 8);
    for (double& v : s.theta) v = p.ConsumeIntegralInRange(-8, 8);
    return s;
}

void thresholds(FuzzedDataProvider& p, std::vector<double>& t) {
    t.resize(p.ConsumeIntegralInRange<size_t>(1, 5));
    for (double& v : t) v = fuzz::threshold(p);
}

void make_predict(FuzzedDataProvider& p, const Sample& s, Owned& out) {
    QelPredictOptions* o = qel_predict_options_create();
    std::vector<double> t;
    thresholds(p, t);
    qel_predict_options_set_threshold(o, t.data(), t.size());
    qel_predict_options_set_include_linear_regression(o, p.ConsumeBool());
    qel_predict_options_set_censor_type(o, p.ConsumeBool());
    qel_predict_options_set_prediction_scale(o, p.ConsumeIntegralInRange(0, 3) == 0);
    qel_predict_options_set_missing_moments(o, p.ConsumeBool());
    qel_predict(s.y.data(), s.rows, s.x.data(), s.rows, s.cols, 0, s.theta.data(), s.cols, o, &out.h);
    qel_predict_options_free(o);
}

void make_maxfit(FuzzedDataProvider& p, const Sample& s, Owned& out) {
    QelMaxFitOptions* o = qel_maxfit_options_create();
    std::vector<double> t;
    thresholds(p, t);
    qel_maxfit_options_set_threshold(o, t.data(), t.size());
    qel_maxfit_options_set_include_linear_regression(o, p.ConsumeBool());
    qel_maxfit_options_set_censor_type(o, p.ConsumeIntegralInRange(0, 2));
    qel_maxfit_options_set_inner_parallel(o, 1);
    qel_maxfit(s.y.data(), s.rows, s.x.data(), s.rows, s.cols, 0, s.theta.data(), s.cols, o, &out.h);
    qel_maxfit_options_free(o);
}

void make_grid(FuzzedDataProvider& p, const Sample& s, Owned& out) {
    static const char* const retain[] = {"all",        "none",          "yhat_cells",         "adjusted_fit_cells",
                                         "n_cells",    "weights_cells", "k_cells",            "combi_cells",
                                         "ysolo_cells", "ysolo_distribution", "[]", "k_cells, ysolo_cells",
                                         "combi_cells, yhat_cells"};
    QelGridOptions* o = qel_grid_options_create();
    qel_grid_options_set_retain_grid_objects_str(o, retain[p.ConsumeIntegralInRange<size_t>(0, std::size(retain) - 1)]);
    qel_grid_options_set_censor_type(o, p.ConsumeIntegralInRange(0, 2));
    qel_grid_options_set_max_iter(o, p.ConsumeIntegralInRange<size_t>(1, 8));
    qel_grid_options_set_k(o, p.ConsumeIntegralInRange<size_t>(1, 3));
    qel_grid_options_set_include_linear_regression(o, p.ConsumeBool());
    qel_grid_options_set_inner_parallel(o, 1);
    qel_grid(s.y.data(), s.rows, s.x.data(), s.rows, s.cols, 0, s.theta.data(), s.cols, o, &out.h);
    qel_grid_options_free(o);
}

void read(FuzzedDataProvider& p, const QelPredictionResults* h) {
    const res::Facts facts = res::check_queries(h);
    const auto& table = res::exports();
    const int reads = p.ConsumeIntegralInRange(1, 24);
    for (int i = 0; i < reads && p.remaining_bytes() > 0; ++i) {
        const res::Export& e = table[p.ConsumeIntegralInRange<size_t>(0, table.size() - 1)];
        const uint8_t c = p.ConsumeIntegral<uint8_t>();
        const int32_t censor = c < 200 ? static_cast<int32_t>(c % 2) : fuzz::code(p);
        const uint8_t l = p.ConsumeIntegral<uint8_t>();
        const int32_t layout = l < 200 ? static_cast<int32_t>(l % 2) : fuzz::code(p);
        const auto buffer = static_cast<res::Buffer>(p.ConsumeIntegralInRange(0, 4));
        res::check_copy(facts, e, censor, layout, buffer, p.ConsumeIntegralInRange<size_t>(0, 7));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    const Sample s = sample(p);
    Owned handles[3];
    make_predict(p, s, handles[0]);
    make_maxfit(p, s, handles[1]);
    make_grid(p, s, handles[2]);
    read(p, nullptr);
    for (const Owned& h : handles)
        if (h.h) read(p, h.h);
    return 0;
}
