// The results handle of the C interface: one `PredictionResults` in a box
// that the host holds until it calls qel_prediction_results_free.
#pragma once

#include <utility>

#include "ffi/handle.hpp"
#include "qelcore.h"
#include "toolbox/qel/results/base.hpp"

// Tagged like the option handles, so that a handle freed twice (or a handle
// of another kind) is refused, and left alone by a second free.
struct QelPredictionResults {
    ffi::handle::HandleKind kind = ffi::handle::HandleKind::Results;
    toolbox::qel::results::PredictionResults inner;
};

namespace ffi::results {

// Moves a finished results object into a new handle (throws std::bad_alloc
// when no memory is left; the compute calls run under the boundary guard).
inline QelPredictionResults* box_results(toolbox::qel::results::PredictionResults&& results) {
    return new QelPredictionResults{handle::HandleKind::Results, std::move(results)};
}

// True for a results handle that has not been freed, as far as its first
// bytes tell.
inline bool is_results(const QelPredictionResults* handle) noexcept {
    return handle::is_kind(handle, handle::HandleKind::Results);
}

}  // namespace ffi::results
