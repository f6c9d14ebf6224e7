// Create, free and setter exports of the predict, grid and max-fit handles.
//
// Every setter runs in one frame: clear the thread's message, refuse a NULL
// handle ("opts is null") before looking at any other argument, then change
// one field or leave the handle as it was. The routines below act on records;
// the exports at the end of the file only bind a routine to a handle kind, so
// that a setter shared by grid and max-fit handles is one routine under two
// names.
#include "ffi/options.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "ffi/error.hpp"
#include "ffi/layout.hpp"
#include "toolbox/enums/enums.hpp"
#include "toolbox/format.hpp"
#include "toolbox/text.hpp"

namespace ffi::options_common {

using Status = std::int32_t;
using toolbox::qel::models::config::PredictOptions;
namespace enums = toolbox::enums;

// The frame of every setter. Running out of memory while copying an argument
// is reported as status 5 by the guard instead of aborting the host.
template <class Handle, class Body>
Status with_opts(std::string_view export_name, Handle* opts, Body&& body) noexcept {
    return error::guard(export_name, export_name, error::FaultMessage::WithPayload, [&]() -> Status {
        error::clear_last_error();
        if (opts == nullptr) {
            error::set_last_error("opts is null");
            return QEL_STATUS_NULL_POINTER;
        }
        if (!options::is_own_kind(opts)) {
            error::set_last_error(options::HandleTraits<Handle>::foreign);
            return QEL_STATUS_INVALID_VALUE;
        }
        return body(*opts);
    });
}

// The frame of a setter that takes a C string: after the handle, the text must
// be present and valid UTF-8 before any parser sees it.
template <class Handle, class Body>
Status with_opts_text(std::string_view export_name, Handle* opts, const char* text, Body&& body) noexcept {
    return with_opts(export_name, opts, [&](Handle& h) -> Status {
        if (text == nullptr) {
            error::set_last_error("expected non-null C string");
            return QEL_STATUS_NULL_POINTER;
        }
        const std::string_view given(text, std::strlen(text));
        if (!toolbox::text::is_valid_utf8(given)) {
            error::set_last_error("C string is not valid UTF-8");
            return QEL_STATUS_INVALID_VALUE;
        }
        return body(h, given);
    });
}

Status invalid(std::string message) {
    error::set_last_error(message);
    return QEL_STATUS_INVALID_VALUE;
}

// Codes are taken as unsigned, so a negative code is refused like a large one;
// the message shows the code as the caller passed it.
template <class E>
Status store_code(E& field, std::int32_t code, std::uint32_t count, std::string_view message) {
    if (static_cast<std::uint32_t>(code) >= count) return invalid(toolbox::format(message, code));
    field = static_cast<E>(code);
    return QEL_STATUS_OK;
}

Status store_flag(bool& field, std::int32_t flag) {
    field = flag != 0;
    return QEL_STATUS_OK;
}

// --- settings of the embedded prediction record (all three handle kinds) ---

Status set_threshold(PredictOptions& p, const double* values, std::size_t n) {
    if (values == nullptr) {
        error::set_last_error("threshold values pointer is null");
        return QEL_STATUS_NULL_POINTER;
    }
    if (n == 0) return invalid("threshold length must be non-zero");
    // Copy first: if the copy cannot be allocated, the old thresholds stay.
    toolbox::matrix::Vector copy = toolbox::matrix::Vector::uninit(n);
    std::memcpy(copy.data(), values, n * sizeof(double));
    // A NaN cut-off compares false with every score, so it would act as the
    // lowest percentile and be reported as NaN.
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(copy[i])) {
            return invalid(toolbox::format("threshold values[{}] is NaN: every threshold must be a number", i));
        }
    }
    p.threshold = std::move(copy);
    return QEL_STATUS_OK;
}

// field, number of codes, message of a refused code
#define QEL_PREDICT_CODE_FIELDS(X)                                                           \
    X(censor_operator, 4, "invalid censor_operator: {}")                                     \
    X(censor_unit, 2, "invalid censor_unit: {} (0=score, 1=percent)")                        \
    X(adj_fit_multiplier, 3, "invalid adj_fit_multiplier: {} (0=identity, 1=K, 2=log)")      \
    X(inv_method, 3, "invalid inv_method: {} (0=gaussian, 1=cholesky, 2=pseudoinverse)")     \
    X(prediction_scale, 2, "invalid prediction_scale: {} (0=response, 1=logistic)")          \
    X(missing_moments, 2, "invalid missing_moments: {} (0=pairwise, 1=complete)")

#define QEL_DEFINE_CODE_SETTER(field, count, message) \
    Status set_##field(PredictOptions& p, std::int32_t code) { return store_code(p.field, code, count, message); }
QEL_PREDICT_CODE_FIELDS(QEL_DEFINE_CODE_SETTER)
#undef QEL_DEFINE_CODE_SETTER

// A prediction runs one censor type; both belong to grid and max-fit runs.
Status set_censor_type_predict(PredictOptions& p, std::int32_t code) {
    if (static_cast<std::uint32_t>(code) == 2u) {
        return invalid("CensorType::Both is not valid for predict; use 0=relevance or 1=similarity");
    }
    return store_code(p.censor_type, code, 2, "invalid censor_type: {}");
}

Status set_censor_type_search(PredictOptions& p, std::int32_t code) {
    return store_code(p.censor_type, code, 3, "invalid censor_type: {}");
}

Status set_censor_type_str(PredictOptions& p, std::string_view text, bool allow_both) {
    const auto parsed = enums::censor_type_from_str(text);
    if (!parsed) return invalid(toolbox::format("invalid censor_type string: {}", text));
    if (*parsed == enums::CensorType::Both && !allow_both) return invalid("censor_type 'both' is not valid for predict");
    p.censor_type = *parsed;
    return QEL_STATUS_OK;
}
Status set_censor_type_str_predict(PredictOptions& p, std::string_view text) {
    return set_censor_type_str(p, text, false);
}
Status set_censor_type_str_search(PredictOptions& p, std::string_view text) {
    return set_censor_type_str(p, text, true);
}

Status set_censor_operator_str(PredictOptions& p, std::string_view text) {
    const auto parsed = enums::censor_operator_from_str(text);
    if (!parsed) return invalid(toolbox::format("invalid censor_operator string: {}", text));
    p.censor_operator = *parsed;
    return QEL_STATUS_OK;
}

Status set_censor_unit_str(PredictOptions& p, std::string_view text) {
    // ASCII lower-casing accepts exactly the texts that the full Unicode
    // lower-case mapping would: the only non-ASCII character it sends into
    // ASCII is U+212A KELVIN SIGN (to 'k'), and neither word contains a 'k'.
    const std::string word = toolbox::text::ascii_lower(text);
    if (word == "score") {
        p.censor_unit = enums::CensorUnit::Score;
    } else if (word == "percent") {
        p.censor_unit = enums::CensorUnit::Percent;
    } else {
        return invalid(toolbox::format("invalid censor_unit string: {}", text));
    }
    return QEL_STATUS_OK;
}

// The missing-moments choice as a flag: non-zero counts only the complete
// rows.
Status set_verify_missing_data(PredictOptions& p, std::int32_t flag) {
    p.missing_moments = flag != 0 ? enums::MissingMoments::Complete : enums::MissingMoments::Pairwise;
    return QEL_STATUS_OK;
}

Status set_include_linear_regression(PredictOptions& p, std::int32_t flag) {
    return store_flag(p.include_linear_regression, flag);
}
Status set_verbose(PredictOptions& p, std::int32_t flag) { return store_flag(p.verbose, flag); }

// --- settings of grid and max-fit runs ---

Status set_inner_parallel(enums::InnerParallel& field, std::int32_t code) {
    return store_code(field, code, 2, "invalid inner_parallel: {}; expected 0=auto or 1=off");
}

Status set_inner_parallel_str(enums::InnerParallel& field, std::string_view text) {
    const auto parsed = enums::inner_parallel_from_str(text);
    if (!parsed) return invalid(toolbox::format("invalid inner_parallel string: '{}'; expected 'auto' or 'off'", text));
    field = *parsed;
    return QEL_STATUS_OK;
}

}  // namespace ffi::options_common

namespace ffi::options {

using namespace ffi::options_common;
using toolbox::qel::models::config::GridOptions;
using toolbox::qel::models::config::MaxFitOptions;

Status set_k(GridOptions& g, std::size_t k) {
    if (k == 0) return invalid("k must be > 0");
    g.k = k;
    return QEL_STATUS_OK;
}

Status set_max_iter(GridOptions& g, std::size_t n) {
    if (n == 0) return invalid("max_iter must be > 0");
    g.max_iter = n;
    return QEL_STATUS_OK;
}

// Any 32-bit pattern is a seed: -1 is 4294967295.
Status set_seed(GridOptions& g, std::int32_t seed) {
    g.seed = static_cast<std::uint32_t>(seed);
    return QEL_STATUS_OK;
}

Status set_adjust_impact_for_missing(GridOptions& g, std::int32_t flag) {
    return store_flag(g.adjust_impact_for_missing, flag);
}

Status set_retain_all(GridOptions& g, std::int32_t flag) {
    g.retain_grid_objects = flag != 0 ? enums::RetainGridObjects::all() : enums::RetainGridObjects::none();
    return QEL_STATUS_OK;
}

Status set_retain_grid_objects_str(GridOptions& g, std::string_view text) {
    auto parsed = enums::retain_grid_objects_from_str(text);
    if (!parsed) return invalid(std::move(parsed.error().message));
    g.retain_grid_objects = std::move(*parsed);
    return QEL_STATUS_OK;
}

Status set_attribute_combi(GridOptions& g, const double* values, std::size_t rows, std::size_t cols,
                           std::int32_t layout) {
    const auto checked = layout::check_layout(layout);
    if (!checked) return checked.error();
    auto combi = layout::copy_matrix(values, rows, cols, *checked);
    if (!combi) return combi.error();
    g.attribute_combi = std::move(*combi);
    return QEL_STATUS_OK;
}

Status set_objective(MaxFitOptions& m, std::string_view text) {
    const auto objective = toolbox::enums::maxfit_objective_from_str(text);
    if (!objective) {
        return invalid(toolbox::format("objective must be 'fit', 'adjusted_fit', or 'kfit'; got '{}'", text));
    }
    m.objective = *objective;
    return QEL_STATUS_OK;
}

// A create call has no status: a handle that cannot be allocated comes back
// NULL, with the reason as the thread's message.
template <class Handle>
Handle* create_handle(std::string_view export_name) noexcept {
    Handle* made = nullptr;
    error::guard(export_name, export_name, error::FaultMessage::WithPayload, [&]() -> Status {
        error::clear_last_error();
        made = new Handle{};
        return QEL_STATUS_OK;
    });
    return made;
}

}  // namespace ffi::options

// --- the exports ---
//
// Each macro binds a routine to one export name; `member` picks the record the
// routine acts on inside the handle.

#define QEL_INT_SETTER(Handle, name, member, routine)                                                         \
    extern "C" QEL_API std::int32_t name(Handle* opts, std::int32_t value) {                                  \
        return ffi::options_common::with_opts(#name, opts, [&](Handle& h) { return routine(h.member, value); }); \
    }

#define QEL_SIZE_SETTER(Handle, name, member, routine)                                                        \
    extern "C" QEL_API std::int32_t name(Handle* opts, std::size_t value) {                                   \
        return ffi::options_common::with_opts(#name, opts, [&](Handle& h) { return routine(h.member, value); }); \
    }

#define QEL_TEXT_SETTER(Handle, name, member, routine)                                     \
    extern "C" QEL_API std::int32_t name(Handle* opts, const char* text) {                 \
        return ffi::options_common::with_opts_text(                                        \
            #name, opts, text, [&](Handle& h, std::string_view given) { return routine(h.member, given); }); \
    }

#define QEL_THRESHOLD_SETTER(Handle, name, member)                                                          \
    extern "C" QEL_API std::int32_t name(Handle* opts, const double* values, std::size_t n) {               \
        return ffi::options_common::with_opts(                                                              \
            #name, opts, [&](Handle& h) { return ffi::options_common::set_threshold(h.member, values, n); }); \
    }

// One routine exported under the grid and the max-fit name; both act on the
// prediction record their handles embed.
#define QEL_SHARED_SETTER(MACRO, suffix, routine)                                    \
    MACRO(QelGridOptions, qel_grid_options_##suffix, record.predict, routine)        \
    MACRO(QelMaxFitOptions, qel_maxfit_options_##suffix, record.predict, routine)

namespace oc = ffi::options_common;
namespace op = ffi::options;

// Create and free.

extern "C" QEL_API QelPredictOptions* qel_predict_options_create(void) {
    return op::create_handle<QelPredictOptions>("qel_predict_options_create");
}
extern "C" QEL_API QelGridOptions* qel_grid_options_create(void) {
    return op::create_handle<QelGridOptions>("qel_grid_options_create");
}
extern "C" QEL_API QelMaxFitOptions* qel_maxfit_options_create(void) {
    return op::create_handle<QelMaxFitOptions>("qel_maxfit_options_create");
}
extern "C" QEL_API void qel_predict_options_free(QelPredictOptions* opts) { op::release(opts); }
extern "C" QEL_API void qel_grid_options_free(QelGridOptions* opts) { op::release(opts); }
extern "C" QEL_API void qel_maxfit_options_free(QelMaxFitOptions* opts) { op::release(opts); }

// Predict handle.

QEL_THRESHOLD_SETTER(QelPredictOptions, qel_predict_options_set_threshold, record)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_censor_operator, record, oc::set_censor_operator)
QEL_TEXT_SETTER(QelPredictOptions, qel_predict_options_set_censor_operator_str, record, oc::set_censor_operator_str)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_censor_type, record, oc::set_censor_type_predict)
QEL_TEXT_SETTER(QelPredictOptions, qel_predict_options_set_censor_type_str, record, oc::set_censor_type_str_predict)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_censor_unit, record, oc::set_censor_unit)
QEL_TEXT_SETTER(QelPredictOptions, qel_predict_options_set_censor_unit_str, record, oc::set_censor_unit_str)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_adj_fit_multiplier, record, oc::set_adj_fit_multiplier)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_inv_method, record, oc::set_inv_method)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_prediction_scale, record, oc::set_prediction_scale)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_missing_moments, record, oc::set_missing_moments)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_verify_missing_data, record, oc::set_verify_missing_data)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_include_linear_regression, record,
               oc::set_include_linear_regression)
QEL_INT_SETTER(QelPredictOptions, qel_predict_options_set_verbose, record, oc::set_verbose)

// Shared by grid and max-fit handles.

QEL_THRESHOLD_SETTER(QelGridOptions, qel_grid_options_set_threshold, record.predict)
QEL_THRESHOLD_SETTER(QelMaxFitOptions, qel_maxfit_options_set_threshold, record.predict)
QEL_SHARED_SETTER(QEL_INT_SETTER, set_censor_operator, oc::set_censor_operator)
QEL_SHARED_SETTER(QEL_INT_SETTER, set_censor_type, oc::set_censor_type_search)
QEL_SHARED_SETTER(QEL_TEXT_SETTER, set_censor_type_str, oc::set_censor_type_str_search)
QEL_SHARED_SETTER(QEL_INT_SETTER, set_censor_unit, oc::set_censor_unit)
QEL_SHARED_SETTER(QEL_INT_SETTER, set_adj_fit_multiplier, oc::set_adj_fit_multiplier)
QEL_SHARED_SETTER(QEL_INT_SETTER, set_inv_method, oc::set_inv_method)
QEL_SHARED_SETTER(QEL_INT_SETTER, set_prediction_scale, oc::set_prediction_scale)
QEL_SHARED_SETTER(QEL_INT_SETTER, set_include_linear_regression, oc::set_include_linear_regression)
QEL_SHARED_SETTER(QEL_INT_SETTER, set_verbose, oc::set_verbose)

// Grid handle.

QEL_INT_SETTER(QelGridOptions, qel_grid_options_set_inner_parallel, record.inner_parallel, oc::set_inner_parallel)
QEL_TEXT_SETTER(QelGridOptions, qel_grid_options_set_inner_parallel_str, record.inner_parallel,
                oc::set_inner_parallel_str)
QEL_SIZE_SETTER(QelGridOptions, qel_grid_options_set_k, record, op::set_k)
QEL_SIZE_SETTER(QelGridOptions, qel_grid_options_set_max_iter, record, op::set_max_iter)
QEL_INT_SETTER(QelGridOptions, qel_grid_options_set_seed, record, op::set_seed)
QEL_INT_SETTER(QelGridOptions, qel_grid_options_set_adjust_impact_for_missing, record, op::set_adjust_impact_for_missing)
QEL_INT_SETTER(QelGridOptions, qel_grid_options_set_retain_all, record, op::set_retain_all)
QEL_TEXT_SETTER(QelGridOptions, qel_grid_options_set_retain_grid_objects_str, record, op::set_retain_grid_objects_str)

extern "C" QEL_API std::int32_t qel_grid_options_set_attribute_combi(QelGridOptions* opts, const double* values,
                                                                     std::size_t rows, std::size_t cols,
                                                                     std::int32_t layout) {
    return oc::with_opts("qel_grid_options_set_attribute_combi", opts, [&](QelGridOptions& h) {
        return op::set_attribute_combi(h.record, values, rows, cols, layout);
    });
}

// Max-fit handle.

QEL_INT_SETTER(QelMaxFitOptions, qel_maxfit_options_set_inner_parallel, record.inner_parallel, oc::set_inner_parallel)
QEL_TEXT_SETTER(QelMaxFitOptions, qel_maxfit_options_set_inner_parallel_str, record.inner_parallel,
                oc::set_inner_parallel_str)
QEL_INT_SETTER(QelMaxFitOptions, qel_maxfit_options_set_missing_moments, record.predict, oc::set_missing_moments)
QEL_INT_SETTER(QelMaxFitOptions, qel_maxfit_options_set_verify_missing_data, record.predict,
               oc::set_verify_missing_data)
QEL_TEXT_SETTER(QelMaxFitOptions, qel_maxfit_options_set_objective, record, op::set_objective)
