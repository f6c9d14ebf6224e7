// The results handle of the C interface: one `PredictionResults` in a box
// that the host holds until it calls qel_prediction_results_free.
#pragma once

#include <utility>

#include "qelcore.h"
#include "toolbox/qel/results/base.hpp"

struct QelPredictionResults {
    toolbox::qel::results::PredictionResults inner;
};

namespace ffi::results {

// Moves a finished results object into a new handle (throws std::bad_alloc
// when no memory is left; the compute calls run under the boundary guard).
inline QelPredictionResults* box_results(toolbox::qel::results::PredictionResults&& results) {
    return new QelPredictionResults{std::move(results)};
}

// The object behind a handle, or nullptr for a NULL handle.
inline const toolbox::qel::results::PredictionResults* unbox(const QelPredictionResults* handle) noexcept {
    return handle ? &handle->inner : nullptr;
}
inline toolbox::qel::results::PredictionResults* unbox_mut(QelPredictionResults* handle) noexcept {
    return handle ? &handle->inner : nullptr;
}

}  // namespace ffi::results
