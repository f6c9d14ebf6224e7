// Fuzz target: the option setters of all three handle kinds and the
// percentile setters, with any code, size, flag and text. The setters come
// from the tables of option_setters.hpp, with what the header says of each.
//
// Each input is a sequence of setter calls on one handle of each kind (now
// and then a NULL handle, a fresh handle, or a percentile setter). The target
// keeps its own model of every handle, built from the header alone, and after
// each call checks the status and the exact message, that a failing setter
// changed nothing and that a successful one stored what it was given.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "../support/option_setters.hpp"
#include "ffi/options.hpp"
#include "support.hpp"

namespace {

using fuzz::Outcome;
using fuzz::str;
namespace cfg = toolbox::qel::models::config;
namespace en = toolbox::enums;

constexpr int32_t OK = QEL_STATUS_OK, NUL = QEL_STATUS_NULL_POINTER, BAD = QEL_STATUS_INVALID_VALUE;

// --- The model of a handle, with the defaults the header documents --------

struct PredictModel {
    std::vector<double> threshold{0.5};
    int censor_operator = 2, censor_type = 0, adj_fit = 1, inv_method = 0, censor_unit = 1, scale = 0,
        missing_moments = 0;
    bool linear = false, verbose = false;
};

PredictModel search_defaults() {
    PredictModel m;
    m.threshold = {0.0, 0.2, 0.5, 0.8};
    m.censor_type = 2;
    return m;
}

struct GridModel {
    PredictModel p = search_defaults();
    int retain = 0;  // 0 none, 1 all, 2 keys
    std::vector<int> keys;
    size_t k = 1, max_iter = 1000;
    std::optional<std::vector<double>> combi;
    size_t combi_rows = 0, combi_cols = 0;
    uint32_t seed = 42;
    bool adjust = true;
    int inner = 0;
};

struct MaxFitModel {
    std::string objective = "kfit";
    PredictModel p = search_defaults();
    int inner = 0;
};

// --- Comparison of a handle's record with its model -------------------------

void same_predict(const cfg::PredictOptions& r, const PredictModel& m, const char* kind) {
    const std::string who = std::string(kind) + " handle: ";
    FUZZ_CHECK(!r.cov_inv.has_value(), who + "an inverse covariance appeared");
    FUZZ_CHECK(r.threshold.has_value() && r.threshold->size() == m.threshold.size() &&
                   fuzz::same_bits(r.threshold->data(), m.threshold.data(), m.threshold.size()),
               who + "thresholds differ from the values set");
    FUZZ_CHECK(static_cast<int>(r.censor_operator) == m.censor_operator, who + "censor_operator differs");
    FUZZ_CHECK(static_cast<int>(r.censor_type) == m.censor_type, who + "censor_type differs");
    FUZZ_CHECK(static_cast<int>(r.adj_fit_multiplier) == m.adj_fit, who + "adj_fit_multiplier differs");
    FUZZ_CHECK(static_cast<int>(r.inv_method) == m.inv_method, who + "inv_method differs");
    FUZZ_CHECK(static_cast<int>(r.censor_unit) == m.censor_unit, who + "censor_unit differs");
    FUZZ_CHECK(static_cast<int>(r.prediction_scale) == m.scale, who + "prediction_scale differs");
    FUZZ_CHECK(static_cast<int>(r.missing_moments) == m.missing_moments, who + "missing_moments differs");
    FUZZ_CHECK(r.include_linear_regression == m.linear, who + "include_linear_regression differs");
    FUZZ_CHECK(r.verbose == m.verbose, who + "verbose differs");
}

void same(const QelPredictOptions* h, const PredictModel& m) { same_predict(h->record, m, "predict"); }

void same(const QelGridOptions* h, const GridModel& m) {
    const cfg::GridOptions& r = h->record;
    same_predict(r.predict, m.p, "grid");
    FUZZ_CHECK(static_cast<int>(r.retain_grid_objects.kind) == m.retain, "grid handle: retain kind differs");
    FUZZ_CHECK(r.retain_grid_objects.keys.size() == m.keys.size(), "grid handle: retain key count differs");
    for (size_t i = 0; i < m.keys.size(); ++i)
        FUZZ_CHECK(static_cast<int>(r.retain_grid_objects.keys[i]) == m.keys[i], "grid handle: retain key differs");
    FUZZ_CHECK(r.k == m.k, "grid handle: k differs");
    FUZZ_CHECK(r.max_iter == m.max_iter, "grid handle: max_iter differs");
    FUZZ_CHECK(r.attribute_combi.has_value() == m.combi.has_value(), "grid handle: combinations presence differs");
    if (m.combi) {
        FUZZ_CHECK(r.attribute_combi->rows() == m.combi_rows && r.attribute_combi->cols() == m.combi_cols,
                   "grid handle: combination extents differ");
        FUZZ_CHECK(fuzz::same_bits(r.attribute_combi->data(), m.combi->data(), m.combi->size()),
                   "grid handle: combinations differ from the row-major copy of the input");
    }
    FUZZ_CHECK(r.seed == m.seed, "grid handle: seed differs");
    FUZZ_CHECK(r.adjust_impact_for_missing == m.adjust, "grid handle: adjust_impact_for_missing differs");
    FUZZ_CHECK(static_cast<int>(r.inner_parallel) == m.inner, "grid handle: inner_parallel differs");
}

void same(const QelMaxFitOptions* h, const MaxFitModel& m) {
    const cfg::MaxFitOptions& r = h->record;
    same_predict(r.predict, m.p, "max-fit");
    // The record holds the objective the text names.
    const auto named = m.objective == "fit"            ? toolbox::enums::MaxFitObjective::Fit
                       : m.objective == "adjusted_fit" ? toolbox::enums::MaxFitObjective::AdjustedFit
                                                       : toolbox::enums::MaxFitObjective::KFit;
    FUZZ_CHECK(r.objective == named, "max-fit handle: objective differs");
    FUZZ_CHECK(static_cast<int>(r.inner_parallel) == m.inner, "max-fit handle: inner_parallel differs");
}

// --- Reference rules ---------------------------------------------------------

Outcome ok() { return {OK, ""}; }
Outcome bad(std::string m) { return {BAD, std::move(m)}; }

// A code the setter accepts when it is below `count`, taken as unsigned.
bool in_range(int32_t code, uint32_t count) { return static_cast<uint32_t>(code) < count; }

// The checks every text setter makes before reading the text.
std::optional<Outcome> text_refused(const fuzz::Text& t) {
    if (t.null) return Outcome{NUL, "expected non-null C string"};
    if (!fuzz::valid_utf8(t.bytes)) return bad("C string is not valid UTF-8");
    return std::nullopt;
}

int index_of(const std::string& word, std::initializer_list<const char*> words) {
    int i = 0;
    for (const char* w : words) {
        if (word == w) return i;
        ++i;
    }
    return -1;
}

int operator_code(const std::string& text) {
    static const std::array<std::initializer_list<const char*>, 4> forms = {{
        {">", "gt", "greater_than"},
        {"<", "lt", "less_than"},
        {">=", "gte", "greater_than_or_equal_to"},
        {"<=", "lte", "less_than_or_equal_to"},
    }};
    const std::string f = fuzz::fold(text);
    for (int c = 0; c < 4; ++c)
        if (index_of(f, forms[static_cast<size_t>(c)]) >= 0) return c;
    return -1;
}

constexpr const char* kKeys[] = {"yhat_cells", "adjusted_fit_cells", "n_cells",   "weights_cells",
                                 "k_cells",    "combi_cells",        "ysolo_distribution", "ysolo_cells"};

// The retain text as the header describes it: blank, a word, or a key list.
struct RetainParse {
    int kind = 0;
    std::vector<int> keys;
    std::optional<std::string> error;
};

RetainParse parse_retain(const std::string& text) {
    RetainParse out;
    const std::string t = fuzz::trim(text);
    if (t.empty()) return out;
    const std::string f = fuzz::fold(t);
    if (f == "0" || f == "none" || f == "false") return out;
    if (f == "1" || f == "all" || f == "true") {
        out.kind = 1;
        return out;
    }
    out.kind = 2;
    std::string body = t;
    size_t lead = 0;
    while (lead < body.size() && body[lead] == '[') ++lead;
    body.erase(0, lead);
    while (!body.empty() && body.back() == ']') body.pop_back();
    size_t start = 0;
    while (start <= body.size()) {
        const size_t comma = body.find(',', start);
        std::string piece = fuzz::trim(body.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        size_t a = 0, b = piece.size();
        while (a < b && (piece[a] == '\'' || piece[a] == '"')) ++a;
        while (b > a && (piece[b - 1] == '\'' || piece[b - 1] == '"')) --b;
        piece = fuzz::trim(piece.substr(a, b - a));
        if (!piece.empty()) {
            int key = -1;
            for (int k = 0; k < 8; ++k)
                if (piece == kKeys[k]) key = k;
            if (key < 0) {
                out.error = "Invalid retain_grid_objects key: '" + piece +
                            "'. Valid keys: yhat_cells, adjusted_fit_cells, n_cells, weights_cells, k_cells, "
                            "combi_cells, ysolo_distribution, ysolo_cells";
                return out;
            }
            out.keys.push_back(key);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

// --- Argument records ----------------------------------------------------------

struct Combi {
    std::vector<double> storage;
    const double* ptr = nullptr;
    size_t rows = 0, cols = 0;
    int32_t layout = 0;
};

Combi combi(FuzzedDataProvider& p) {
    Combi c;
    const uint8_t mode = p.ConsumeIntegral<uint8_t>();
    c.layout = mode < 240 ? static_cast<int32_t>(mode & 1) : fuzz::code(p);
    c.rows = p.ConsumeIntegralInRange<size_t>(0, 6);
    c.cols = p.ConsumeIntegralInRange<size_t>(0, 6);
    if (mode % 17 == 3) {
        // Extents whose product does not fit in 64 bits: refused before any read.
        c.rows = p.ConsumeIntegralInRange<size_t>(2, 1u << 20);
        c.cols = std::numeric_limits<size_t>::max() / c.rows + p.ConsumeIntegralInRange<size_t>(1, 1000);
        c.storage.resize(1);
    } else {
        c.storage.resize(c.rows * c.cols + 1);
        for (size_t i = 0; i < c.rows * c.cols; ++i) c.storage[i] = fuzz::value(p);
    }
    c.ptr = mode % 29 == 5 ? nullptr : c.storage.data();
    return c;
}

// The row-major copy the handle must hold.
std::vector<double> row_major(const Combi& c) {
    std::vector<double> out(c.rows * c.cols);
    for (size_t i = 0; i < c.rows; ++i)
        for (size_t j = 0; j < c.cols; ++j)
            out[i * c.cols + j] = c.layout == 0 ? c.ptr[i * c.cols + j] : c.ptr[j * c.rows + i];
    return out;
}

// --- The setters ---------------------------------------------------------------

using setters::Field;
using setters::Kind;

constexpr Kind P = Kind::Predict, G = Kind::Grid, M = Kind::MaxFit;

// The models of one handle of each kind.
struct Models {
    PredictModel pm;
    GridModel gm;
    MaxFitModel mm;

    PredictModel& predict(Kind kind) { return kind == P ? pm : kind == G ? gm.p : mm.p; }
};

// What the frame of the next setter refuses before its own checks: a NULL
// handle, or a handle of another kind.
std::optional<Outcome> g_refused;

Outcome framed(Outcome want) { return g_refused ? *g_refused : want; }

// Stores a code or a flag that a setter of `kind` took into its setting.
void store(Models& m, Kind kind, Field field, int32_t v) {
    PredictModel& p = m.predict(kind);
    switch (field) {
        case Field::CensorOperator: p.censor_operator = v; return;
        case Field::CensorType: p.censor_type = v; return;
        case Field::CensorUnit: p.censor_unit = v; return;
        case Field::AdjFitMultiplier: p.adj_fit = v; return;
        case Field::InvMethod: p.inv_method = v; return;
        case Field::PredictionScale: p.scale = v; return;
        case Field::MissingMoments: p.missing_moments = v; return;
        case Field::VerifyMissingData: p.missing_moments = v != 0 ? 1 : 0; return;
        case Field::LinearRegression: p.linear = v != 0; return;
        case Field::Verbose: p.verbose = v != 0; return;
        case Field::InnerParallel: (kind == G ? m.gm.inner : m.mm.inner) = v; return;
        case Field::Seed: m.gm.seed = static_cast<uint32_t>(v); return;
        case Field::AdjustImpactForMissing: m.gm.adjust = v != 0; return;
        case Field::RetainAll:
            m.gm.retain = v != 0 ? 1 : 0;
            m.gm.keys.clear();
            return;
        default: FUZZ_CHECK(false, "a code or flag setter of a setting the model does not know");
    }
}

void code_setting(FuzzedDataProvider& p, const setters::CodeSetter& s, void* handle, Models& m) {
    const int32_t c = fuzz::code(p);
    std::string message = s.message;
    message.replace(message.find("{}"), 2, str(c));
    const Outcome want = framed(in_range(c, static_cast<uint32_t>(s.count)) ? ok() : bad(message));
    const Outcome got = fuzz::outcome(s.set(handle, c));
    fuzz::expect(s.name, got, want);
    if (got.status == OK) store(m, s.kind, s.field, c);
}

void flag_setting(FuzzedDataProvider& p, const setters::FlagSetter& s, void* handle, Models& m) {
    const int32_t f = s.field == Field::Seed ? p.ConsumeIntegral<int32_t>() : fuzz::code(p);
    const Outcome got = fuzz::outcome(s.set(handle, f));
    fuzz::expect(s.name, got, framed(ok()));
    if (got.status == OK) store(m, s.kind, s.field, f);
}

// A text as the setter of `field` on a handle of `kind` reads it: the
// outcome, and the code or key list it names.
struct TextReading {
    Outcome outcome;
    int code = -1;
    RetainParse retain{};
};

TextReading read_text(Field field, Kind kind, const std::string& text) {
    const std::string f = fuzz::fold(text);
    int c = -1;
    switch (field) {
        case Field::CensorOperator:
            c = operator_code(text);
            return {c >= 0 ? ok() : bad("invalid censor_operator string: " + text), c};
        case Field::CensorType:
            c = index_of(f, {"relevance", "similarity", "both"});
            if (c < 0) return {bad("invalid censor_type string: " + text)};
            if (c == 2 && kind == P) return {bad("censor_type 'both' is not valid for predict")};
            return {ok(), c};
        case Field::CensorUnit:
            c = index_of(f, {"score", "percent"});
            return {c >= 0 ? ok() : bad("invalid censor_unit string: " + text), c};
        case Field::InnerParallel:
            c = f == "auto" ? 0 : index_of(f, {"0", "off", "seq", "false", "sequential"}) >= 0 ? 1 : -1;
            return {c >= 0 ? ok() : bad("invalid inner_parallel string: '" + text + "'; expected 'auto' or 'off'"), c};
        case Field::RetainGridObjects: {
            RetainParse parsed = parse_retain(text);
            return {parsed.error ? bad(*parsed.error) : ok(), -1, std::move(parsed)};
        }
        case Field::Objective:
            return {index_of(text, {"fit", "adjusted_fit", "kfit"}) >= 0
                        ? ok()
                        : bad("objective must be 'fit', 'adjusted_fit', or 'kfit'; got '" + text + "'")};
        default: FUZZ_CHECK(false, "a text setter of a setting the model does not know");
    }
}

void text_setting(FuzzedDataProvider& p, const setters::TextSetter& s, void* handle, Models& m) {
    const fuzz::Text t = fuzz::text(p);
    std::optional<Outcome> want = text_refused(t);
    TextReading reading;
    if (!want) {
        reading = read_text(s.field, s.kind, t.bytes);
        want = reading.outcome;
    }
    want = framed(*want);
    const Outcome got = fuzz::outcome(s.set(handle, t.c_str()));
    fuzz::expect(s.name, got, *want);
    if (got.status != OK) return;
    if (s.field == Field::RetainGridObjects) {
        m.gm.retain = reading.retain.kind;
        m.gm.keys = reading.retain.keys;
    } else if (s.field == Field::Objective) {
        m.mm.objective = t.bytes;
    } else {
        store(m, s.kind, s.field, reading.code);
    }
}

// --- The setters with arguments of their own -----------------------------------

void threshold_setting(FuzzedDataProvider& p, Kind kind, void* handle, Models& m) {
    std::vector<double> values(p.ConsumeIntegralInRange<size_t>(0, 9));
    for (double& v : values) v = fuzz::threshold(p);
    const uint8_t mode = p.ConsumeIntegral<uint8_t>();
    const double* ptr = mode % 13 == 1 ? nullptr : values.data();
    // A length beyond the values only with a NULL pointer, which is refused first.
    const size_t n = ptr == nullptr && mode % 2 ? std::numeric_limits<size_t>::max() : values.size();
    // The first NaN is refused, and the thresholds set before stay.
    std::optional<size_t> nan_at;
    for (size_t i = 0; i < values.size() && !nan_at; ++i)
        if (std::isnan(values[i])) nan_at = i;
    const Outcome want = framed(ptr == nullptr ? Outcome{NUL, "threshold values pointer is null"}
                                : n == 0       ? bad("threshold length must be non-zero")
                                : nan_at ? bad("threshold values[" + fuzz::ustr(*nan_at) +
                                               "] is NaN: every threshold must be a number")
                                         : ok());
    const Outcome got = fuzz::outcome(
        kind == P   ? qel_predict_options_set_threshold(static_cast<QelPredictOptions*>(handle), ptr, n)
        : kind == G ? qel_grid_options_set_threshold(static_cast<QelGridOptions*>(handle), ptr, n)
                    : qel_maxfit_options_set_threshold(static_cast<QelMaxFitOptions*>(handle), ptr, n));
    fuzz::expect("set_threshold", got, want);
    if (got.status == OK) m.predict(kind).threshold = values;
}

void predict_censor_type(FuzzedDataProvider& p, Kind, void* handle, Models& m) {
    const int32_t c = fuzz::code(p);
    const Outcome want = framed(
        in_range(c, 2) ? ok()
        : c == 2       ? bad("CensorType::Both is not valid for predict; use 0=relevance or 1=similarity")
                       : bad("invalid censor_type: " + str(c)));
    const Outcome got = fuzz::outcome(qel_predict_options_set_censor_type(static_cast<QelPredictOptions*>(handle), c));
    fuzz::expect("qel_predict_options_set_censor_type", got, want);
    if (got.status == OK) m.pm.censor_type = c;
}

// A count setter of the grid handle: 0 is refused, any other count stored.
template <int32_t (*Set)(QelGridOptions*, size_t), size_t GridModel::*Field>
void grid_count(FuzzedDataProvider& p, Kind, void* handle, Models& m, const char* name, const char* refused) {
    const size_t n = p.ConsumeBool() ? p.ConsumeIntegralInRange<size_t>(0, 8) : p.ConsumeIntegral<size_t>();
    const Outcome got = fuzz::outcome(Set(static_cast<QelGridOptions*>(handle), n));
    fuzz::expect(name, got, framed(n == 0 ? bad(refused) : ok()));
    if (got.status == OK) m.gm.*Field = n;
}

void grid_k(FuzzedDataProvider& p, Kind kind, void* handle, Models& m) {
    grid_count<qel_grid_options_set_k, &GridModel::k>(p, kind, handle, m, "qel_grid_options_set_k", "k must be > 0");
}

void grid_max_iter(FuzzedDataProvider& p, Kind kind, void* handle, Models& m) {
    grid_count<qel_grid_options_set_max_iter, &GridModel::max_iter>(p, kind, handle, m, "qel_grid_options_set_max_iter",
                                                                    "max_iter must be > 0");
}

void grid_combinations(FuzzedDataProvider& p, Kind, void* handle, Models& m) {
    const Combi c = combi(p);
    Outcome want = ok();
    if (!in_range(c.layout, 2))
        want = bad("invalid QelLayout value: " + str(c.layout) + " (use 0=row-major, 1=col-major)");
    else if (c.ptr == nullptr) want = {NUL, "matrix pointer is null"};
    else if (c.rows == 0 || c.cols == 0) want = bad("matrix dimensions must be non-zero");
    else if (c.cols > std::numeric_limits<size_t>::max() / c.rows) want = bad("matrix dimensions overflow");
    want = framed(want);
    const std::vector<double> before = c.storage;
    const Outcome got = fuzz::outcome(
        qel_grid_options_set_attribute_combi(static_cast<QelGridOptions*>(handle), c.ptr, c.rows, c.cols, c.layout));
    fuzz::expect("qel_grid_options_set_attribute_combi", got, want);
    FUZZ_CHECK(fuzz::same_bits(before.data(), c.storage.data(), before.size()),
               "qel_grid_options_set_attribute_combi wrote into the caller's matrix");
    if (got.status == OK) {
        m.gm.combi = row_major(c);
        m.gm.combi_rows = c.rows;
        m.gm.combi_cols = c.cols;
    }
}

// --- Every setter of a kind ------------------------------------------------------

using Special = void (*)(FuzzedDataProvider&, Kind, void*, Models&);

// One setter: an entry of a table, or one with arguments of its own.
struct Setting {
    const setters::CodeSetter* code = nullptr;
    const setters::FlagSetter* flag = nullptr;
    const setters::TextSetter* text = nullptr;
    Special special = nullptr;
};

std::vector<Setting> settings_of(Kind kind) {
    std::vector<Setting> out{{.special = threshold_setting}};
    if (kind == P) out.push_back({.special = predict_censor_type});
    if (kind == G) {
        out.push_back({.special = grid_k});
        out.push_back({.special = grid_max_iter});
        out.push_back({.special = grid_combinations});
    }
    for (const auto& s : setters::kCodeSetters)
        if (s.kind == kind) out.push_back({.code = &s});
    for (const auto& s : setters::kFlagSetters)
        if (s.kind == kind) out.push_back({.flag = &s});
    for (const auto& s : setters::kTextSetters)
        if (s.kind == kind) out.push_back({.text = &s});
    return out;
}

void setting(FuzzedDataProvider& p, Kind kind, void* handle, Models& m) {
    static const std::vector<Setting> of_kind[] = {settings_of(P), settings_of(G), settings_of(M)};
    const std::vector<Setting>& all = of_kind[static_cast<int>(kind)];
    const Setting& s = all[p.ConsumeIntegralInRange<size_t>(0, all.size() - 1)];
    if (s.code) code_setting(p, *s.code, handle, m);
    else if (s.flag) flag_setting(p, *s.flag, handle, m);
    else if (s.text) text_setting(p, *s.text, handle, m);
    else s.special(p, kind, handle, m);
}

void percentile_setting(FuzzedDataProvider& p) {
    const int32_t before = qel_get_percentile_value_algorithm();
    FUZZ_CHECK(before == 0 || before == 1, "qel_get_percentile_value_algorithm outside 0 and 1");
    int32_t after = before;
    if (p.ConsumeBool()) {
        const int32_t c = fuzz::code(p);
        const Outcome want =
            in_range(c, 2) ? ok() : bad("invalid percentile algorithm: " + str(c) + " (0=full_sort, 1=order_statistics)");
        const Outcome got = fuzz::outcome(qel_set_percentile_value_algorithm(c));
        fuzz::expect("qel_set_percentile_value_algorithm", got, want);
        if (got.status == OK) after = c;
    } else {
        const fuzz::Text t = fuzz::text(p);
        const Outcome got = fuzz::outcome(qel_set_percentile_value_algorithm_str(t.c_str()));
        if (t.null) {
            fuzz::expect("qel_set_percentile_value_algorithm_str", got, {NUL, "algorithm string is null"});
        } else if (!fuzz::valid_utf8(t.bytes)) {
            fuzz::expect("qel_set_percentile_value_algorithm_str", got, bad("algorithm string is not valid UTF-8"));
        } else {
            const std::string f = fuzz::fold(fuzz::trim(t.bytes));
            const int c = index_of(f, {"sort", "fullsort", "full_sort"}) >= 0                              ? 0
                          : index_of(f, {"nth", "select_nth", "order_stats", "order_statistics"}) >= 0 ? 1
                                                                                                       : -1;
            if (c >= 0) {
                fuzz::expect("qel_set_percentile_value_algorithm_str", got, ok());
                after = c;
            } else if (fuzz::is_ascii(t.bytes)) {
                fuzz::expect("qel_set_percentile_value_algorithm_str", got,
                             bad("invalid percentile algorithm: " + fuzz::quote_ascii(t.bytes) +
                                 " (use full_sort or order_statistics)"));
            } else {
                // Which characters outside ASCII print is the library's table; the frame is fixed.
                fuzz::check_channel("qel_set_percentile_value_algorithm_str", got);
                const std::string head = "invalid percentile algorithm: \"";
                const std::string tail = "\" (use full_sort or order_statistics)";
                FUZZ_CHECK(got.status == BAD && got.message.compare(0, head.size(), head) == 0 &&
                               got.message.size() >= head.size() + tail.size() &&
                               got.message.compare(got.message.size() - tail.size(), tail.size(), tail) == 0,
                           "percentile text refused with " + fuzz::show(got));
            }
        }
    }
    // The getter leaves the message alone.
    const std::string message = fuzz::last_error();
    FUZZ_CHECK(qel_get_percentile_value_algorithm() == after, "the percentile setting is not the one stored");
    FUZZ_CHECK(fuzz::last_error() == message, "qel_get_percentile_value_algorithm changed the message");
}

struct Handles {
    QelPredictOptions* p = nullptr;
    QelGridOptions* g = nullptr;
    QelMaxFitOptions* m = nullptr;
    Models models;

    void renew(Kind kind) {
        fuzz::stain();
        if (kind == P) {
            qel_predict_options_free(p);
            p = qel_predict_options_create();
            models.pm = PredictModel{};
        } else if (kind == G) {
            qel_grid_options_free(g);
            g = qel_grid_options_create();
            models.gm = GridModel{};
        } else {
            qel_maxfit_options_free(m);
            m = qel_maxfit_options_create();
            models.mm = MaxFitModel{};
        }
        FUZZ_CHECK(fuzz::last_error().empty(), "a create call left a message");
        FUZZ_CHECK(kind == P ? p != nullptr : kind == G ? g != nullptr : m != nullptr, "a create call returned NULL");
    }
    ~Handles() {
        const std::string& stained = fuzz::stain();
        qel_predict_options_free(p);
        qel_grid_options_free(g);
        qel_maxfit_options_free(m);
        qel_predict_options_free(nullptr);
        qel_grid_options_free(nullptr);
        qel_maxfit_options_free(nullptr);
        FUZZ_CHECK(fuzz::last_error() == stained, "a free call touched the message");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider p(data, size);
    Handles h;
    h.renew(P);
    h.renew(G);
    h.renew(M);
    static const char* const kForeign[] = {"options is not a predict options handle",
                                           "options is not a grid options handle",
                                           "options is not a max-fit options handle"};
    for (int step = 0; step < 64 && p.remaining_bytes() > 0; ++step) {
        const uint8_t op = p.ConsumeIntegral<uint8_t>();
        const Kind kind = static_cast<Kind>(op % 3);
        if (op >= 232 && op < 236) {
            h.renew(kind);
            continue;
        }
        if (op >= 236 && op < 240) {
            percentile_setting(p);
            continue;
        }
        // The handle the setter gets: its own, NULL, or one of another kind
        // (a host's cast). A free of another kind leaves the handle alone.
        void* own = setters::handle_of(kind, h.p, h.g, h.m);
        void* handle = own;
        g_refused.reset();
        if (op >= 240 && op < 248) {
            handle = (op & 4) ? static_cast<void*>(h.p) : (op & 2) ? static_cast<void*>(h.g) : static_cast<void*>(h.m);
            if (p.ConsumeIntegralInRange(0, 3) == 0) {
                const std::string& stained = fuzz::stain();
                if (kind == P) qel_predict_options_free(static_cast<QelPredictOptions*>(handle));
                if (kind == G) qel_grid_options_free(static_cast<QelGridOptions*>(handle));
                if (kind == M) qel_maxfit_options_free(static_cast<QelMaxFitOptions*>(handle));
                FUZZ_CHECK(fuzz::last_error() == stained, "a free call touched the message");
                if (handle == own) {
                    // Released: renewing it must not free it again.
                    if (kind == P) h.p = nullptr;
                    if (kind == G) h.g = nullptr;
                    if (kind == M) h.m = nullptr;
                    h.renew(kind);
                }
                continue;
            }
            if (handle != own) g_refused = Outcome{BAD, kForeign[static_cast<int>(kind)]};
        } else if (op >= 248) {
            handle = nullptr;
            g_refused = Outcome{NUL, "opts is null"};
        }
        fuzz::stain();
        // A refused call must not change any model, so it works on a copy.
        Models scratch = h.models;
        setting(p, kind, handle, g_refused ? scratch : h.models);
        // Whatever happened, every handle holds exactly what its model says.
        same(h.p, h.models.pm);
        same(h.g, h.models.gm);
        same(h.m, h.models.mm);
    }
    return 0;
}
