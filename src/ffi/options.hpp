// The option handles of the C interface: each opaque handle of qelcore.h is a
// heap object holding one option record, and the compute calls read that
// record in place.
//
// A handle starts with a tag naming its kind. The C types keep a host from
// mixing the kinds up, but `QelModelCallArgs.options` is `const void*` and a
// cast is easy, so every export that takes a handle reads the tag first and
// refuses a handle of another kind instead of reading its record as its own.
#pragma once

#include <cstdint>
#include <cstring>

#include "qelcore.h"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/config/maxfit_options.hpp"
#include "toolbox/qel/models/config/predict_options.hpp"

namespace ffi::options {

// Values unlikely to stand at the start of any other object; a freed handle
// holds none of them.
enum class HandleKind : std::uint64_t {
    Predict = 0x51454c2d50524544,  // "QEL-PRED"
    Grid = 0x51454c2d47524944,     // "QEL-GRID"
    MaxFit = 0x51454c2d4d415846,   // "QEL-MAXF"
    Freed = 0x51454c2d46524545,    // "QEL-FREE"
};

}  // namespace ffi::options

struct QelPredictOptions {
    ffi::options::HandleKind kind = ffi::options::HandleKind::Predict;
    toolbox::qel::models::config::PredictOptions record;
};

struct QelGridOptions {
    ffi::options::HandleKind kind = ffi::options::HandleKind::Grid;
    toolbox::qel::models::config::GridOptions record;
};

struct QelMaxFitOptions {
    ffi::options::HandleKind kind = ffi::options::HandleKind::MaxFit;
    toolbox::qel::models::config::MaxFitOptions record;
};

namespace ffi::options {

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
// and not freed since, as far as its first bytes tell. The tag is read as raw
// bytes: what `handle` points at may be a handle of another kind (the tag
// stands first in each) or a released block.
template <class Handle>
bool is_own_kind(const Handle* handle) noexcept {
    HandleKind kind;
    std::memcpy(&kind, static_cast<const void*>(handle), sizeof kind);
    return kind == HandleTraits<Handle>::kind;
}

// The record a handle holds, borrowed for the length of one call; NULL for a
// NULL handle, in which case the call builds its own default record.
template <class Handle>
const auto* record_of(const Handle* handle) noexcept {
    return handle ? &handle->record : nullptr;
}

// Releases a handle of its own kind. Anything else is left alone: releasing a
// handle of another kind as this one, or a released one again, would corrupt
// the host's heap.
template <class Handle>
void release(Handle* handle) noexcept {
    if (handle == nullptr || !is_own_kind(handle)) return;
    // A volatile store, so that the compiler cannot drop it as a write to
    // memory about to be released: a later call with this handle then sees
    // that it is gone (unless the memory has been handed out again).
    *static_cast<volatile HandleKind*>(&handle->kind) = HandleKind::Freed;
    delete handle;
}

}  // namespace ffi::options
