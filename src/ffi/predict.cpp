// qel_predict and its argument-record variant.
#include "ffi/model_call.hpp"
#include "ffi/options.hpp"
#include "qelcore.h"
#include "toolbox/qel/models/predict/predict.hpp"

#include <cstddef>

// The record is part of the interface: ten 8-byte slots.
static_assert(sizeof(QelModelCallArgs) == 80);
static_assert(offsetof(QelModelCallArgs, y) == 0 && offsetof(QelModelCallArgs, y_len) == 8 &&
              offsetof(QelModelCallArgs, X) == 16 && offsetof(QelModelCallArgs, rows) == 24 &&
              offsetof(QelModelCallArgs, cols) == 32 && offsetof(QelModelCallArgs, layout) == 40 &&
              offsetof(QelModelCallArgs, theta) == 48 && offsetof(QelModelCallArgs, theta_len) == 56 &&
              offsetof(QelModelCallArgs, options) == 64 && offsetof(QelModelCallArgs, out_results) == 72);

extern "C" QEL_API int32_t qel_predict(const double* y, size_t y_len, const double* X, size_t rows, size_t cols,
                                       int32_t layout, const double* theta, size_t theta_len,
                                       const QelPredictOptions* options, QelPredictionResults** out_results) {
    return ffi::model_call::run("qel_predict", "internal panic in qel_predict (often singular / ill-conditioned data)",
                                y, y_len, X, rows, cols, layout, theta, theta_len, options,
                                out_results, [](auto yv, auto xv, auto tv, const auto& opts) {
                                    return toolbox::qel::models::predict::predict(yv, xv, tv, opts);
                                });
}

extern "C" QEL_API int32_t qel_predict_call(const QelModelCallArgs* args) {
    return ffi::model_call::run_record<QelPredictOptions>(args, qel_predict);
}
