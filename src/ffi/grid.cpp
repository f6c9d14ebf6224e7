// qel_grid and its argument-record variant.
#include "ffi/model_call.hpp"
#include "ffi/options.hpp"
#include "qelcore.h"
#include "toolbox/qel/models/grid/grid.hpp"

extern "C" QEL_API int32_t qel_grid(const double* y, size_t y_len, const double* X, size_t rows, size_t cols,
                                    int32_t layout, const double* theta, size_t theta_len,
                                    const QelGridOptions* options, QelPredictionResults** out_results) {
    return ffi::model_call::run("qel_grid", "internal panic in qel_grid (often singular / ill-conditioned data)", y,
                                y_len, X, rows, cols, layout, theta, theta_len, options,
                                out_results, [](auto yv, auto xv, auto tv, const auto& opts) {
                                    return toolbox::qel::models::grid::predict_grid(yv, xv, tv, opts);
                                });
}

extern "C" QEL_API int32_t qel_grid_call(const QelModelCallArgs* args) {
    return ffi::model_call::run_record<QelGridOptions>(args, qel_grid);
}
