// The option handles of the C interface: each opaque handle of qelcore.h is a
// heap object holding one option record, and the compute calls read that
// record in place.
#pragma once

#include "qelcore.h"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/config/maxfit_options.hpp"
#include "toolbox/qel/models/config/predict_options.hpp"

struct QelPredictOptions {
    toolbox::qel::models::config::PredictOptions record;
};

struct QelGridOptions {
    toolbox::qel::models::config::GridOptions record;
};

struct QelMaxFitOptions {
    toolbox::qel::models::config::MaxFitOptions record;
};

namespace ffi::options {

// The record a handle holds, borrowed for the length of one call; NULL for a
// NULL handle, in which case the call builds its own default record.
inline const toolbox::qel::models::config::PredictOptions* predict_options_of(const QelPredictOptions* opts) noexcept {
    return opts ? &opts->record : nullptr;
}
inline const toolbox::qel::models::config::GridOptions* grid_options_of(const QelGridOptions* opts) noexcept {
    return opts ? &opts->record : nullptr;
}
inline const toolbox::qel::models::config::MaxFitOptions* maxfit_options_of(const QelMaxFitOptions* opts) noexcept {
    return opts ? &opts->record : nullptr;
}

}  // namespace ffi::options
