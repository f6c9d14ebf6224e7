// qel_maxfit and its argument-record variant.
#include "ffi/model_call.hpp"
#include "ffi/options.hpp"
#include "qelcore.h"
#include "toolbox/qel/models/maxfit/maxfit.hpp"

extern "C" QEL_API int32_t qel_maxfit(const double* y, size_t y_len, const double* X, size_t rows, size_t cols,
                                      int32_t layout, const double* theta, size_t theta_len,
                                      const QelMaxFitOptions* options, QelPredictionResults** out_results) {
    return ffi::model_call::run(
        "qel_maxfit", "internal panic in qel_maxfit (often singular / ill-conditioned data)", y, y_len, X, rows, cols,
        layout, theta,
        theta_len, options, out_results,
        [](auto yv, auto xv, auto tv, const auto& opts) -> toolbox::Result<toolbox::qel::results::PredictionResults> {
            auto r = toolbox::qel::models::maxfit::predict_maxfit_simple(yv, xv, tv, opts);
            if (!r) return std::unexpected(std::move(r.error()));
            // The chosen value is the results' prediction at the chosen
            // threshold; the handle carries the results.
            return std::move(r->results);
        });
}

extern "C" QEL_API int32_t qel_maxfit_call(const QelModelCallArgs* args) {
    return ffi::model_call::run_record<QelMaxFitOptions>(args, qel_maxfit);
}
