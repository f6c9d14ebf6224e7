// The frame every model call of the C interface shares (prediction, max-fit,
// grid): clear the message, check the out-pointer, load the inputs, take the
// handle's options or the defaults, run the engine under the fault guard and
// box the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>

#include "ffi/error.hpp"
#include "ffi/inputs.hpp"
#include "ffi/options.hpp"
#include "ffi/results.hpp"
#include "qelcore.h"

namespace ffi::model_call {

// `call` is the export's name; `fault_context` heads the message of a fault
// caught in it. `handle` is the caller's option handle, or NULL, in which case
// the create call's defaults stand in; a handle of another kind is refused.
// `engine(y, x, theta, options)` returns a `Result<PredictionResults>`.
template <class Handle, class Engine>
std::int32_t run(std::string_view call, std::string_view fault_context, const double* y, std::size_t y_len,
                 const double* X, std::size_t rows, std::size_t cols, std::int32_t layout, const double* theta,
                 std::size_t theta_len, const Handle* handle, QelPredictionResults** out_results,
                 Engine&& engine) noexcept {
    error::clear_last_error();
    if (out_results == nullptr) {
        error::set_last_error("out_results is null");
        return QEL_STATUS_NULL_POINTER;
    }
    *out_results = nullptr;
    return error::guard(call, fault_context, error::FaultMessage::WithPayload, [&]() -> std::int32_t {
        auto inputs = inputs::load_model_inputs(y, y_len, X, rows, cols, layout, theta, theta_len);
        if (!inputs) return inputs.error();
        if (handle != nullptr && !options::is_own_kind(handle)) {
            error::set_last_error(options::HandleTraits<Handle>::foreign);
            return QEL_STATUS_INVALID_VALUE;
        }
        const auto* record = options::record_of(handle);
        std::optional<std::remove_cvref_t<decltype(*record)>> defaults;
        if (record == nullptr) defaults.emplace();
        const auto& opts = record ? *record : *defaults;
        auto result = engine(inputs->y, inputs->X, inputs->theta, opts);
        if (!result) return error::map_compute_err(result.error(), fault_context, error::FaultMessage::WithPayload);
        *out_results = results::box_results(std::move(*result));
        return QEL_STATUS_OK;
    });
}

// A model export, as the record variants call it.
template <class Handle>
using ModelExport = std::int32_t (*)(const double*, std::size_t, const double*, std::size_t, std::size_t, std::int32_t,
                                     const double*, std::size_t, const Handle*, QelPredictionResults**);

// The argument-record variant of a model call. `exported` is the address of
// the exported function, which resolves through the library's symbol table,
// so an interposed export sees the call too.
template <class Handle>
std::int32_t run_record(const QelModelCallArgs* args, ModelExport<Handle> exported) noexcept {
    error::clear_last_error();
    if (args == nullptr) {
        error::set_last_error("args is null");
        return QEL_STATUS_NULL_POINTER;
    }
    return exported(args->y, args->y_len, args->X, args->rows, args->cols, args->layout, args->theta, args->theta_len,
                    static_cast<const Handle*>(args->options), args->out_results);
}

}  // namespace ffi::model_call
