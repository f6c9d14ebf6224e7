// The option handles of the C interface: each opaque handle of qelcore.h is a
// heap object holding one option record, and the compute calls read that
// record in place. A handle starts with its kind tag (ffi/handle.hpp).
#pragma once

#include "ffi/handle.hpp"
#include "qelcore.h"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/config/maxfit_options.hpp"
#include "toolbox/qel/models/config/predict_options.hpp"

struct QelPredictOptions {
    ffi::handle::HandleKind kind = ffi::handle::HandleKind::Predict;
    toolbox::qel::models::config::PredictOptions record;
};

struct QelGridOptions {
    ffi::handle::HandleKind kind = ffi::handle::HandleKind::Grid;
    toolbox::qel::models::config::GridOptions record;
};

struct QelMaxFitOptions {
    ffi::handle::HandleKind kind = ffi::handle::HandleKind::MaxFit;
    toolbox::qel::models::config::MaxFitOptions record;
};

namespace ffi::options {

using handle::HandleKind;

template <class Handle>
struct HandleTraits;
template <>
struct HandleTraits<QelPredictOptions> {
    static constexpr HandleKind kind = HandleKind::Predict;
    static constexpr const char* foreign = "options is not a predict options handle";
};
template <>
struct HandleTraits<QelGridOptions> {
    static constexpr HandleKind kind = HandleKind::Grid;
    static constexpr const char* foreign = "options is not a grid options handle";
};
template <>
struct HandleTraits<QelMaxFitOptions> {
    static constexpr HandleKind kind = HandleKind::MaxFit;
    static constexpr const char* foreign = "options is not a max-fit options handle";
};

// True when the non-NULL `handle` was made by the create call of its own kind
// and not freed since, as far as its first bytes tell.
template <class Handle>
bool is_own_kind(const Handle* handle) noexcept {
    return handle::is_kind(handle, HandleTraits<Handle>::kind);
}

// The record a handle holds, borrowed for the length of one call; NULL for a
// NULL handle, in which case the call builds its own default record.
template <class Handle>
const auto* record_of(const Handle* handle) noexcept {
    return handle ? &handle->record : nullptr;
}

// Releases a handle of its own kind and leaves anything else alone.
template <class Handle>
void release(Handle* handle) noexcept {
    handle::release(handle, HandleTraits<Handle>::kind);
}

}  // namespace ffi::options
