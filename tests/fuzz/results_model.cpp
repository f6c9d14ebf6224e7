#include "results_model.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "support.hpp"

namespace fuzz::results {

namespace {

constexpr int32_t OK = QEL_STATUS_OK, NUL = QEL_STATUS_NULL_POINTER, SIZE = QEL_STATUS_SIZE_MISMATCH,
                  BAD = QEL_STATUS_INVALID_VALUE;
constexpr size_t kMax = std::numeric_limits<size_t>::max();

// --- Presence tests and dimension queries ------------------------------------

struct Presence {
    const char* fn;
    int32_t (*test)(const QelPredictionResults*);
};

// In the order of Facts::has.
const Presence kPresence[] = {
    {"qel_results_has_auxiliary", qel_results_has_auxiliary},
    {"qel_results_has_include", qel_results_has_include},
    {"qel_results_has_weights", qel_results_has_weights},
    {"qel_results_has_weights_excluded", qel_results_has_weights_excluded},
    {"qel_results_has_maxfit_index", qel_results_has_maxfit_index},
    {"qel_results_has_yhat_linear", qel_results_has_yhat_linear},
    {"qel_results_has_grid_insights", qel_results_has_grid_insights},
    {"qel_results_has_y_solo", qel_results_has_y_solo},
    {"qel_results_has_xi_solo", qel_results_has_xi_solo},
    {"qel_results_has_ysolo_distribution", qel_results_has_ysolo_distribution},
    {"qel_results_has_grid_cells", qel_results_has_grid_cells},
    {"qel_results_has_ysolo_cells", qel_results_has_ysolo_cells},
    {"qel_results_has_k_cells", qel_results_has_k_cells},
    {"qel_results_has_combi_cells", qel_results_has_combi_cells},
};
enum { AUX, INCLUDE, WEIGHTS, WEIGHTS_EXCLUDED, MAXFIT_INDEX, YHAT_LINEAR, GRID_INSIGHTS, Y_SOLO, XI_SOLO, YSOLO_DIST,
       GRID_CELLS, YSOLO_CELLS, K_CELLS, COMBI_CELLS };

struct CensorQuery {
    const char* key;
    int32_t (*test)(const QelPredictionResults*, int32_t);
    int32_t (*dims2)(const QelPredictionResults*, int32_t, size_t*, size_t*);
    int32_t (*dims3)(const QelPredictionResults*, int32_t, size_t*, size_t*, size_t*);
};

// Keys in the order of Facts::cell.
const CensorQuery kCensor[] = {
    {"yhat", qel_results_has_yhat_cells, qel_results_yhat_cells_dims, nullptr},
    {"adj", qel_results_has_adjusted_fit_cells, qel_results_adjusted_fit_cells_dims, nullptr},
    {"n", qel_results_has_n_cells, qel_results_n_cells_dims, nullptr},
    {"weights", qel_results_has_weights_cells, nullptr, qel_results_weights_cells_dims},
    {"xi", qel_results_has_xi_solo_cells, nullptr, qel_results_xi_solo_cells_dims},
};

struct DimsQuery {
    const char* fn;
    int32_t (*dims)(const QelPredictionResults*, size_t*, size_t*);
    const char* absent;  // message when the part is absent
    int presence;        // index into Facts::has
};

// In the order of Facts::dims.
const DimsQuery kDims[] = {
    {"qel_results_include_dims", qel_results_include_dims, "include not available", INCLUDE},
    {"qel_results_weights_dims", qel_results_weights_dims, "weights not available", WEIGHTS},
    {"qel_results_weights_excluded_dims", qel_results_weights_excluded_dims, "weights_excluded not available",
     WEIGHTS_EXCLUDED},
    {"qel_results_xi_solo_dims", qel_results_xi_solo_dims, "xi_solo not available", XI_SOLO},
    {"qel_results_ysolo_cells_dims", qel_results_ysolo_cells_dims, "ysolo_cells not available", YSOLO_CELLS},
    {"qel_results_k_cells_dims", qel_results_k_cells_dims, "k_cells not available", K_CELLS},
    {"qel_results_combi_cells_dims", qel_results_combi_cells_dims, "combi_cells not available", COMBI_CELLS},
    {"qel_results_ysolo_distribution_dims", qel_results_ysolo_distribution_dims, "ysolo_distribution not available",
     YSOLO_DIST},
};
enum { D_INCLUDE, D_WEIGHTS, D_WEIGHTS_EXCLUDED, D_XI_SOLO, D_YSOLO_CELLS, D_K_CELLS, D_COMBI_CELLS, D_YSOLO_DIST };

std::string absent_cell(const char* key, int32_t censor) {
    return std::string(key) + "_cells not available for censor=" + str(censor);
}

// A dimension query with every combination of NULL extent pointers; on
// success returns the extents, on failure checks that nothing was written.
template <class Call>
Outcome dims_call(const char* fn, bool null_results, Call call, int n, size_t out[3]) {
    constexpr size_t kUnwritten = 0xDEADBEEF;
    for (int mask = 0; mask < (1 << n) - 1; ++mask) {
        size_t d[3] = {kUnwritten, kUnwritten, kUnwritten};
        size_t* p[3] = {(mask & 1) ? &d[0] : nullptr, (mask & 2) ? &d[1] : nullptr, (mask & 4) ? &d[2] : nullptr};
        stain();
        const Outcome got = outcome(call(p[0], p[1], p[2]));
        expect(fn, got, {NUL, null_results ? "results is null" : "dims out pointers are null"});
        FUZZ_CHECK(d[0] == kUnwritten && d[1] == kUnwritten && d[2] == kUnwritten,
                   std::string(fn) + ": extents written on failure");
    }
    size_t d[3] = {kUnwritten, kUnwritten, kUnwritten};
    stain();
    const Outcome got = outcome(call(&d[0], &d[1], &d[2]));
    check_channel(fn, got);
    if (got.status == OK) {
        for (int i = 0; i < n; ++i) out[i] = d[i];
    } else {
        FUZZ_CHECK(d[0] == kUnwritten && d[1] == kUnwritten && d[2] == kUnwritten,
                   std::string(fn) + ": extents written on failure");
    }
    return got;
}

Outcome cell_dims(const CensorQuery& q, const QelPredictionResults* h, int32_t censor, size_t d[3]) {
    const std::string fn = std::string("dims of ") + q.key + "_cells";
    if (q.dims2)
        return dims_call(fn.c_str(), h == nullptr, [&](size_t* a, size_t* b, size_t*) { return q.dims2(h, censor, a, b); }, 2, d);
    return dims_call(fn.c_str(), h == nullptr, [&](size_t* a, size_t* b, size_t* c) { return q.dims3(h, censor, a, b, c); }, 3, d);
}

Outcome matrix_dims(const DimsQuery& q, const QelPredictionResults* h, size_t d[3]) {
    return dims_call(q.fn, h == nullptr, [&](size_t* a, size_t* b, size_t*) { return q.dims(h, a, b); }, 2, d);
}

void null_handle_queries() {
    for (const Presence& q : kPresence) {
        const std::string& stained = stain();
        FUZZ_CHECK(q.test(nullptr) == 0, std::string(q.fn) + "(NULL) is not 0");
        const bool silent = q.test == qel_results_has_yhat_linear;
        FUZZ_CHECK(last_error() == (silent ? stained : std::string("results is null")),
                   std::string(q.fn) + "(NULL) left \"" + last_error() + "\"");
    }
    for (const CensorQuery& q : kCensor) {
        stain();
        FUZZ_CHECK(q.test(nullptr, 0) == 0 && last_error() == "results is null",
                   std::string("has_") + q.key + "_cells(NULL)");
        size_t d[3];
        const Outcome got = cell_dims(q, nullptr, 0, d);
        FUZZ_CHECK(got == (Outcome{NUL, "results is null"}), "per-censor dims of NULL: " + show(got));
    }
    for (const DimsQuery& q : kDims) {
        size_t d[3];
        const Outcome got = matrix_dims(q, nullptr, d);
        FUZZ_CHECK(got == (Outcome{NUL, "results is null"}), std::string(q.fn) + "(NULL): " + show(got));
    }
    const std::string& stained = stain();
    FUZZ_CHECK(qel_results_num_observations(nullptr) == 0 && qel_results_num_variables(nullptr) == 0 &&
                   qel_results_num_thresholds(nullptr) == 0 && last_error() == stained,
               "counts of NULL are not 0 without a message");
    FUZZ_CHECK(qel_results_num_combinations(nullptr) == 0 && last_error() == "results is null",
               "qel_results_num_combinations(NULL)");
    stain();
    FUZZ_CHECK(qel_results_maxfit_index_len(nullptr) == 0 && last_error() == "results is null",
               "qel_results_maxfit_index_len(NULL)");
    qel_prediction_results_free(nullptr);
}

}  // namespace

Facts check_queries(const QelPredictionResults* h) {
    Facts f;
    f.h = h;
    if (h == nullptr) {
        null_handle_queries();
        return f;
    }
    const std::string& stained = stain();
    f.N = qel_results_num_observations(h);
    f.K = qel_results_num_variables(h);
    f.T = qel_results_num_thresholds(h);
    f.C = qel_results_num_combinations(h);
    f.maxfit_index_len = qel_results_maxfit_index_len(h);
    FUZZ_CHECK(last_error() == stained, "a count query touched the message");
    for (size_t i = 0; i < std::size(kPresence); ++i) {
        const int32_t v = kPresence[i].test(h);
        FUZZ_CHECK(v == 0 || v == 1, std::string(kPresence[i].fn) + " is neither 0 nor 1");
        FUZZ_CHECK(last_error() == stained, std::string(kPresence[i].fn) + " touched the message");
        f.has[i] = v == 1;
    }
    FUZZ_CHECK(f.has[MAXFIT_INDEX] == (f.maxfit_index_len > 0), "maxfit index length disagrees with its presence");

    // The grid's cells cover the thresholds of the run (the composite result
    // holds one): every cell array agrees on that count.
    // Likewise for the combinations (qel_results_num_combinations reads only
    // some of the arrays, and says 0 when none of those is kept).
    bool have_tc = false, have_cc = false;
    size_t cc = 0;
    auto cell_thresholds = [&](size_t t, const std::string& part) {
        if (!have_tc) f.Tc = t;
        have_tc = true;
        FUZZ_CHECK(t == f.Tc, part + " covers " + ustr(t) + " thresholds, another cell array " + ustr(f.Tc));
    };
    auto cell_combinations = [&](size_t c, const std::string& part) {
        if (!have_cc) cc = c;
        have_cc = true;
        FUZZ_CHECK(c == cc, part + " holds " + ustr(c) + " combinations, another cell array " + ustr(cc));
    };

    // Per-censor parts: an invalid code is refused even without cells.
    for (int key = 0; key < 5; ++key) {
        const CensorQuery& q = kCensor[key];
        for (int32_t censor : {-1, 2, std::numeric_limits<int32_t>::min()}) {
            stain();
            FUZZ_CHECK(q.test(h, censor) == 0 && last_error() == "invalid grid censor code",
                       std::string("has_") + q.key + "_cells with censor " + str(censor));
            size_t d[3];
            const Outcome got = cell_dims(q, h, censor, d);
            FUZZ_CHECK(got == (Outcome{BAD, "invalid grid censor code"}), "per-censor dims, bad code: " + show(got));
        }
        for (int32_t censor = 0; censor < 2; ++censor) {
            const std::string& s = stain();
            const int32_t v = q.test(h, censor);
            FUZZ_CHECK(v == 0 || v == 1, "per-censor presence neither 0 nor 1");
            FUZZ_CHECK(last_error() == (v ? s : absent_cell(q.key, censor)),
                       std::string("has_") + q.key + "_cells left \"" + last_error() + "\"");
            f.cell[censor][key] = v == 1;
            size_t* d = f.cell_dims[censor][key];
            const Outcome got = cell_dims(q, h, censor, d);
            if (v) {
                FUZZ_CHECK(got.status == OK, std::string(q.key) + "_cells present but its dims fail: " + show(got));
                FUZZ_CHECK(f.has[GRID_CELLS], "a per-censor part without grid cells");
                const std::string part = std::string(q.key) + "_cells";
                if (q.dims2) {
                    cell_combinations(d[0], part);
                    cell_thresholds(d[1], part);
                } else {
                    FUZZ_CHECK(d[0] == f.N, part + ": " + ustr(d[0]) + " observations, not N = " + ustr(f.N));
                    cell_thresholds(d[1], part);
                    cell_combinations(d[2], part);
                }
            } else {
                FUZZ_CHECK(got == (Outcome{BAD, absent_cell(q.key, censor)}), "absent per-censor dims: " + show(got));
            }
        }
    }
    for (size_t i = 0; i < std::size(kDims); ++i) {
        const DimsQuery& q = kDims[i];
        size_t d[3];
        const Outcome got = matrix_dims(q, h, d);
        if (f.has[q.presence]) {
            FUZZ_CHECK(got.status == OK, std::string(q.fn) + " fails on a present part: " + show(got));
            f.dims_ok[i] = true;
            f.dims[i][0] = d[0];
            f.dims[i][1] = d[1];
        } else {
            FUZZ_CHECK(got == (Outcome{BAD, q.absent}), std::string(q.fn) + " on an absent part: " + show(got));
        }
    }
    // The extents the header gives each matrix.
    for (int i : {D_INCLUDE, D_WEIGHTS, D_WEIGHTS_EXCLUDED, D_XI_SOLO})
        if (f.dims_ok[i]) FUZZ_CHECK(f.dims[i][0] == f.N && f.dims[i][1] == f.T, std::string(kDims[i].fn) + ": not N x T");
    if (f.dims_ok[D_YSOLO_CELLS]) {
        FUZZ_CHECK(f.dims[D_YSOLO_CELLS][0] == f.N, "ysolo_cells: not one row per observation");
        cell_combinations(f.dims[D_YSOLO_CELLS][1], "ysolo_cells");
    }
    if (f.dims_ok[D_K_CELLS]) {
        cell_combinations(f.dims[D_K_CELLS][0], "k_cells");
        cell_thresholds(f.dims[D_K_CELLS][1], "k_cells");
    }
    if (f.dims_ok[D_COMBI_CELLS]) {
        cell_combinations(f.dims[D_COMBI_CELLS][0], "combi_cells");
        FUZZ_CHECK(f.dims[D_COMBI_CELLS][1] == f.K, "combi_cells: not one column per variable");
    }
    if (f.dims_ok[D_YSOLO_DIST])
        FUZZ_CHECK(f.dims[D_YSOLO_DIST][1] == f.T || f.dims[D_YSOLO_DIST][1] == 1, "bin counts neither B x T nor B x 1");
    for (int i : {YSOLO_CELLS, K_CELLS, COMBI_CELLS})
        if (f.has[i]) FUZZ_CHECK(f.has[GRID_CELLS], "a grid-cell part without grid cells");

    // The combination count: the first present part decides.
    size_t want_c = 0;
    if (f.has[GRID_CELLS]) {
        if (f.has[K_CELLS]) want_c = f.dims[D_K_CELLS][0];
        else if (f.has[COMBI_CELLS]) want_c = f.dims[D_COMBI_CELLS][0];
        else if (f.has[YSOLO_CELLS]) want_c = f.dims[D_YSOLO_CELLS][1];
        else if (f.cell[0][0]) want_c = f.cell_dims[0][0][0];
        else if (f.cell[1][0]) want_c = f.cell_dims[1][0][0];
    }
    FUZZ_CHECK(f.C == want_c, "qel_results_num_combinations is " + ustr(f.C) + ", its parts say " + ustr(want_c));
    return f;
}

// --- The copy exports -----------------------------------------------------------

const std::vector<Export>& exports() {
    static const std::vector<Export> table = [] {
        std::vector<Export> t;
        auto vec = [&](const char* fn, Family fam, const char* name, auto f) {
            t.push_back({fn, fam, name, "", f, nullptr, nullptr, nullptr, nullptr});
        };
        auto mat = [&](const char* fn, const char* name, auto f) {
            t.push_back({fn, Family::Matrix, name, "", nullptr, f, nullptr, nullptr, nullptr});
        };
        auto cmat = [&](const char* fn, const char* name, const char* key, auto f) {
            t.push_back({fn, Family::CensorMatrix, name, key, nullptr, nullptr, f, nullptr, nullptr});
        };
        auto c3 = [&](const char* fn, const char* name, const char* key, auto f) {
            t.push_back({fn, Family::Censor3d, name, key, nullptr, nullptr, nullptr, f, nullptr});
        };
#define QEL_VEC(suffix, fam, name) vec("qel_results_copy_" #suffix, Family::fam, name, qel_results_copy_##suffix)
        QEL_VEC(yhat, Core, "yhat");
        QEL_VEC(fit, Core, "fit");
        QEL_VEC(agreement, Core, "agreement");
        QEL_VEC(outlier_influence, Core, "outlier_influence");
        QEL_VEC(asymmetry, Core, "asymmetry");
        QEL_VEC(adjusted_fit, Core, "adjusted_fit");
        QEL_VEC(k_fit, Core, "k_fit");
        QEL_VEC(thresholds, Core, "thresholds");
        QEL_VEC(yhat_linear, Linear, "yhat_linear");
        QEL_VEC(relevance, Relevance, "relevance");
        QEL_VEC(similarity, Relevance, "similarity");
        QEL_VEC(info_x, Relevance, "info_x");
        QEL_VEC(info_theta, Relevance, "info_theta");
        QEL_VEC(maxfit_index, Optional, "maxfit_index");
        QEL_VEC(variable_weights, Optional, "variable_weights");
        QEL_VEC(mctc, Optional, "marginal_contribution_to_conviction");
        QEL_VEC(mctp, Optional, "marginal_contribution_to_prediction");
        QEL_VEC(cctp, Optional, "component_contribution_to_prediction");
        QEL_VEC(xi_solo_composite, Optional, "xi_solo_composite");
        QEL_VEC(weights_concentration, Optional, "weights_concentration");
        QEL_VEC(y_solo, Optional, "y_solo");
        QEL_VEC(ysolo_sigma, Optional, "ysolo_sigma");
        QEL_VEC(ysolo_skewness, Optional, "ysolo_skewness");
        QEL_VEC(ysolo_kurtosis, Optional, "ysolo_kurtosis");
        QEL_VEC(ysolo_pearson_modality_index, Optional, "ysolo_pearson_modality_index");
        QEL_VEC(ysolo_bimodal_index, Optional, "ysolo_bimodal_index");
        QEL_VEC(aux_phi, Aux, "phi");
        QEL_VEC(aux_lambda_sq, Aux, "lambda_sq");
        QEL_VEC(aux_full_var, Aux, "full_var");
        QEL_VEC(aux_part_var, Aux, "part_var");
        QEL_VEC(aux_r_star, Aux, "r_star");
        QEL_VEC(aux_r_star_percent, Aux, "r_star_percent");
        QEL_VEC(aux_n, Aux, "aux.n");
        QEL_VEC(aux_k, Aux, "aux.k");
        QEL_VEC(aux_rho, Aux, "rho");
        QEL_VEC(ysolo_bin_edges, Hist, "bin_edges");
        QEL_VEC(ysolo_bin_centers, Hist, "bin_centers");
        QEL_VEC(ysolo_bin_widths, Hist, "bin_widths");
#undef QEL_VEC
        mat("qel_results_copy_weights", "weights", qel_results_copy_weights);
        mat("qel_results_copy_weights_excluded", "weights_excluded", qel_results_copy_weights_excluded);
        mat("qel_results_copy_xi_solo", "xi_solo", qel_results_copy_xi_solo);
        mat("qel_results_copy_ysolo_bin_counts", "ysolo bin counts", qel_results_copy_ysolo_bin_counts);
        mat("qel_results_copy_combi_cells", "combi_cells", qel_results_copy_combi_cells);
        mat("qel_results_copy_k_cells", "k_cells", qel_results_copy_k_cells);
        mat("qel_results_copy_ysolo_cells", "ysolo_cells", qel_results_copy_ysolo_cells);
        cmat("qel_results_copy_yhat_cells", "yhat_cells", "yhat", qel_results_copy_yhat_cells);
        cmat("qel_results_copy_adjusted_fit_cells", "adjusted_fit_cells", "adj", qel_results_copy_adjusted_fit_cells);
        cmat("qel_results_copy_n_cells", "n_cells", "n", qel_results_copy_n_cells);
        c3("qel_results_copy_weights_cells", "weights_cells", "weights", qel_results_copy_weights_cells);
        c3("qel_results_copy_xi_solo_cells", "xi_solo_cells", "xi", qel_results_copy_xi_solo_cells);
        t.push_back({"qel_results_copy_include", Family::Include, "include", "", nullptr, nullptr, nullptr, nullptr,
                     qel_results_copy_include});
        return t;
    }();
    return table;
}

namespace {

int key_index(const char* key) {
    for (int i = 0; i < 5; ++i)
        if (std::strcmp(kCensor[i].key, key) == 0) return i;
    fail(__FILE__, __LINE__, std::string("unknown key ") + key);
}

int dims_index(const char* name) {
    static const char* names[] = {"include", "weights", "weights_excluded", "xi_solo", "ysolo_cells",
                                  "k_cells", "combi_cells", "ysolo bin counts"};
    for (int i = 0; i < 8; ++i)
        if (std::strcmp(names[i], name) == 0) return i;
    fail(__FILE__, __LINE__, std::string("no dims query for ") + name);
}

// The count a short-buffer message names, read back with the message's own
// frame; -1 when the message has another form.
long long count_in(const std::string& message, const std::string& before, const std::string& after) {
    if (message.size() < before.size() + after.size() || message.compare(0, before.size(), before) != 0 ||
        message.compare(message.size() - after.size(), after.size(), after) != 0)
        return -1;
    const std::string digits = message.substr(before.size(), message.size() - before.size() - after.size());
    if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoll(digits);
}

std::string short_message(const Export& e, size_t need, size_t len) {
    switch (e.family) {
        case Family::Core:
        case Family::Linear: return "out buffer too small: need at least " + ustr(need) + ", got " + ustr(len);
        case Family::Relevance: return std::string(e.name) + ": out buffer too small: need " + ustr(need) + ", got " + ustr(len);
        default: return std::string(e.name) + ": need " + ustr(need) + ", got " + ustr(len);
    }
}

// The length of a vector without a query: a copy into a valid empty buffer
// fails with the count in its message, or succeeds when it is 0.
Shape probe_vector(const Facts& f, const Export& e) {
    double one = 0.0;
    stain();
    const Outcome got = outcome(e.vec(f.h, &one, 0));
    check_channel(e.fn, got);
    Shape s;
    if (got.status == BAD) {
        const std::string absent = e.family == Family::Linear ? "yhat_linear not available (enable include_linear_regression)"
                                   : e.family == Family::Aux  ? "auxiliary not available"
                                   : e.family == Family::Hist ? "ysolo_distribution not available"
                                                              : std::string(e.name) + " not available on these results";
        FUZZ_CHECK(e.family != Family::Core, std::string(e.fn) + ": a core vector is absent");
        FUZZ_CHECK(got.message == absent, std::string(e.fn) + " absent: " + show(got));
        return s;
    }
    s.present = true;
    if (got.status == OK) return s;
    FUZZ_CHECK(got.status == SIZE, std::string(e.fn) + " into an empty buffer: " + show(got));
    const std::string frame = short_message(e, 0, 0);
    const std::string tail = ", got 0";
    const std::string head = frame.substr(0, frame.size() - tail.size() - 1);
    const long long n = count_in(got.message, head, tail);
    FUZZ_CHECK(n > 0, std::string(e.fn) + " into an empty buffer: " + show(got));
    s.need = static_cast<size_t>(n);
    s.d[0] = s.need;
    return s;
}

}  // namespace

Shape shape_of(const Facts& f, const Export& e, int32_t censor) {
    Shape s;
    const std::string fn = e.fn;
    switch (e.family) {
        case Family::Core:
        case Family::Linear:
        case Family::Relevance:
        case Family::Optional:
        case Family::Aux:
        case Family::Hist: {
            s = probe_vector(f, e);
            // What each vector's length must be.
            const std::string name = e.name;
            size_t want = f.T;
            if (e.family == Family::Relevance) want = name == "info_theta" ? 1 : f.N;
            if (e.family == Family::Linear) want = 1;
            if (e.family == Family::Hist) {
                FUZZ_CHECK(s.present == f.has[YSOLO_DIST], fn + ": presence differs from has_ysolo_distribution");
                want = f.dims[D_YSOLO_DIST][0] + (name == "bin_edges" ? 1 : 0);
            }
            if (e.family == Family::Aux) FUZZ_CHECK(s.present == f.has[AUX], fn + ": presence differs from has_auxiliary");
            if (e.family == Family::Linear) FUZZ_CHECK(s.present == f.has[YHAT_LINEAR], fn + ": presence differs");
            if (e.family == Family::Optional) {
                if (name == "maxfit_index") {
                    FUZZ_CHECK(s.present == f.has[MAXFIT_INDEX], fn + ": presence differs");
                    want = f.maxfit_index_len;
                } else if (name == "y_solo") {
                    FUZZ_CHECK(s.present == f.has[Y_SOLO], fn + ": presence differs");
                    want = f.N;
                } else if (name == "xi_solo_composite") {
                    FUZZ_CHECK(!s.present || f.has[GRID_INSIGHTS], fn + ": present without grid insights");
                    want = f.N;
                } else if (name == "variable_weights" || name.find("contribution") != std::string::npos) {
                    FUZZ_CHECK(!s.present || f.has[GRID_INSIGHTS], fn + ": present without grid insights");
                    want = f.K;
                }
            }
            if (name == "thresholds") {
                FUZZ_CHECK(s.need == f.T || s.need == 1 || s.need == 0, fn + ": " + ustr(s.need) + " thresholds held");
            } else if (s.present) {
                FUZZ_CHECK(s.need == want, fn + ": length " + ustr(s.need) + ", expected " + ustr(want));
            }
            return s;
        }
        case Family::Matrix:
        case Family::Include: {
            const int i = dims_index(e.name);
            s.present = f.dims_ok[i];
            s.d[0] = f.dims[i][0];
            s.d[1] = f.dims[i][1];
            break;
        }
        case Family::CensorMatrix:
        case Family::Censor3d: {
            if (censor != 0 && censor != 1) return s;
            const int k = key_index(e.key);
            s.present = f.cell[censor][k];
            for (int j = 0; j < 3; ++j) s.d[j] = f.cell_dims[censor][k][j];
            if (e.family == Family::CensorMatrix) s.d[2] = 1;
            break;
        }
    }
    s.need = s.d[0] * s.d[1] * (e.family == Family::Censor3d ? s.d[2] : 1);
    return s;
}

namespace {

// The outcome the header gives one copy, with the checks in its family's order.
Outcome expected(const Facts& f, const Export& e, const Shape& s, int32_t censor, int32_t layout, bool null_out,
                 size_t len) {
    if (f.h == nullptr) return {NUL, "results is null"};
    const std::string name = e.name;
    const Outcome null_named{NUL, name + " out is null"};
    const Outcome shortish{SIZE, short_message(e, s.need, len)};
    const bool short_buffer = len < s.need;
    const bool bad_layout = layout != 0 && layout != 1;
    const Outcome layout_refused{BAD, "invalid QelLayout value: " + str(layout) + " (use 0=row-major, 1=col-major)"};
    auto write2 = [&]() -> Outcome {
        if (null_out) return null_named;
        if (short_buffer)
            return {SIZE, name + ": need " + ustr(s.need) + " (= " + ustr(s.d[0]) + "\u00d7" + ustr(s.d[1]) + "), got " + ustr(len)};
        if (bad_layout) return layout_refused;
        return {OK, ""};
    };
    switch (e.family) {
        case Family::Core:
            if (null_out) return {NUL, "out buffer is null"};
            return short_buffer ? shortish : Outcome{OK, ""};
        case Family::Linear:
            if (null_out) return {NUL, "out buffer is null"};
            if (!s.present) return {BAD, "yhat_linear not available (enable include_linear_regression)"};
            return short_buffer ? shortish : Outcome{OK, ""};
        case Family::Relevance:
            if (null_out) return {NUL, name + " out buffer is null"};
            if (!s.present) return {BAD, name + " not available on these results"};
            return short_buffer ? shortish : Outcome{OK, ""};
        case Family::Optional:
        case Family::Aux:
        case Family::Hist:
            if (!s.present)
                return {BAD, e.family == Family::Aux    ? std::string("auxiliary not available")
                             : e.family == Family::Hist ? std::string("ysolo_distribution not available")
                                                        : name + " not available on these results"};
            if (null_out) return null_named;
            return short_buffer ? shortish : Outcome{OK, ""};
        case Family::Matrix:
            if (!s.present) return {BAD, name == "ysolo bin counts" ? "ysolo_distribution not available" : name + " not available"};
            return write2();
        case Family::CensorMatrix:
            if (censor != 0 && censor != 1) return {BAD, "invalid grid censor code"};
            if (!s.present) return {BAD, std::string(e.key) + "_cells not available for censor=" + str(censor)};
            return write2();
        case Family::Censor3d:
            if (censor != 0 && censor != 1) return {BAD, "invalid grid censor code"};
            if (!s.present) return {BAD, std::string(e.key) + "_cells not available for censor=" + str(censor)};
            if (null_out) return null_named;
            if (short_buffer)
                return {SIZE, name + ": need " + ustr(s.need) + " (= " + ustr(s.d[0]) + "\u00d7" + ustr(s.d[1]) + "\u00d7" +
                                  ustr(s.d[2]) + "), got " + ustr(len)};
            return {OK, ""};
        case Family::Include:
            if (null_out) return {NUL, "include out is null"};
            if (!s.present) return {BAD, "include not available"};
            if (short_buffer) return {SIZE, "include: need " + ustr(s.need) + ", got " + ustr(len)};
            return bad_layout ? layout_refused : Outcome{OK, ""};
    }
    return {OK, ""};
}

constexpr size_t kGuard = 8;  // canary elements on each side of a buffer
constexpr uint8_t kCanary = 0xA5;

// One call of the export into `out` (elements of 8 or 1 bytes).
int32_t invoke(const Export& e, const QelPredictionResults* h, int32_t censor, int32_t layout, void* out, size_t len) {
    if (e.vec) return e.vec(h, static_cast<double*>(out), len);
    if (e.mat) return e.mat(h, static_cast<double*>(out), len, layout);
    if (e.cmat) return e.cmat(h, censor, static_cast<double*>(out), len, layout);
    if (e.c3) return e.c3(h, censor, static_cast<double*>(out), len);
    return e.inc(h, static_cast<uint8_t*>(out), len, layout);
}

size_t element_size(const Export& e) { return e.inc ? 1 : sizeof(double); }

// An exact copy in row-major order, or empty when the part is absent.
std::vector<uint8_t> reference(const Facts& f, const Export& e, const Shape& s, int32_t censor) {
    const size_t bytes = s.need * element_size(e);
    std::vector<uint8_t> out(bytes + 1);
    const Outcome got = outcome(invoke(e, f.h, censor, 0, out.data(), s.need));
    FUZZ_CHECK(got.status == OK, std::string(e.fn) + " with an exact buffer: " + show(got));
    out.resize(bytes);
    return out;
}

}  // namespace

void check_copy(const Facts& f, const Export& e, int32_t censor, int32_t layout, Buffer buffer, size_t shortfall) {
    const Shape s = f.h ? shape_of(f, e, censor) : Shape{};
    const size_t es = element_size(e);
    size_t len = s.need;
    switch (buffer) {
        case Buffer::Exact:
        case Buffer::Null: break;
        case Buffer::Short: len = s.need - std::min(s.need, shortfall == 0 ? 1 : shortfall); break;
        case Buffer::Huge: len = kMax - shortfall % 3; break;
        case Buffer::Longer: len = s.need + shortfall % 5 + 1; break;
    }
    // The allocation holds what the call may write: at most the need, even
    // when the length claims more.
    const size_t elements = std::min(len, s.need + 5);
    std::vector<uint8_t> area((elements + 2 * kGuard) * es, kCanary);
    void* out = buffer == Buffer::Null ? nullptr : area.data() + kGuard * es;
    const Outcome want = expected(f, e, s, censor, layout, out == nullptr, len);
    stain();
    const Outcome got = outcome(invoke(e, f.h, censor, layout, out, len));
    expect(e.fn, got, want);
    const size_t written = got.status == OK ? s.need * es : 0;
    for (size_t b = 0; b < area.size(); ++b) {
        const bool inside = out != nullptr && b >= kGuard * es && b < kGuard * es + written;
        if (!inside)
            FUZZ_CHECK(area[b] == kCanary, std::string(e.fn) + ": byte " + ustr(b) + " of the buffer area changed (" +
                                               (got.status == OK ? "outside the copied part" : "on failure") + ")");
    }
    if (got.status != OK || s.need == 0) return;
    const uint8_t* copied = area.data() + kGuard * es;
    if (e.inc) {
        for (size_t i = 0; i < s.need; ++i) FUZZ_CHECK(copied[i] <= 1, "include mask byte neither 0 nor 1");
    }
    // The same elements as a row-major copy, transposed for column-major.
    const std::vector<uint8_t> ref = reference(f, e, s, censor);
    const bool transposed = layout == 1 && (e.mat || e.cmat || e.inc);
    for (size_t i = 0; i < s.d[0] && transposed; ++i)
        for (size_t j = 0; j < s.d[1]; ++j)
            FUZZ_CHECK(std::memcmp(copied + (j * s.d[0] + i) * es, ref.data() + (i * s.d[1] + j) * es, es) == 0,
                       std::string(e.fn) + ": column-major copy is not the transpose of the row-major one");
    if (!transposed)
        FUZZ_CHECK(std::memcmp(copied, ref.data(), ref.size()) == 0, std::string(e.fn) + ": copies differ");
}

std::string digest(const QelPredictionResults* h) {
    const Facts f = check_queries(h);
    std::string out;
    auto put = [&](const void* p, size_t n) { out.append(static_cast<const char*>(p), n); };
    put(&f.N, sizeof f.N);
    put(&f.K, sizeof f.K);
    put(&f.T, sizeof f.T);
    put(&f.C, sizeof f.C);
    put(f.has, sizeof f.has);
    put(f.cell, sizeof f.cell);
    put(f.cell_dims, sizeof f.cell_dims);
    put(f.dims, sizeof f.dims);
    if (h == nullptr) return out;
    for (const Export& e : exports()) {
        for (int32_t censor = 0; censor < ((e.cmat || e.c3) ? 2 : 1); ++censor) {
            const Shape s = shape_of(f, e, censor);
            put(&s.present, sizeof s.present);
            put(&s.need, sizeof s.need);
            if (!s.present) continue;
            const std::vector<uint8_t> bytes = reference(f, e, s, censor);
            put(bytes.data(), bytes.size());
        }
    }
    return out;
}

}  // namespace fuzz::results
