// The error channel of the C interface: status codes, the calling thread's
// last-error message and the guard that keeps every exception inside the
// library.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string_view>

#include "qelcore.h"
#include "toolbox/error.hpp"

namespace ffi::error {

// Empties the calling thread's message slot.
void clear_last_error() noexcept;
// Stores `message` (NUL bytes removed) as the calling thread's message.
void set_last_error(std::string_view message) noexcept;
// The calling thread's message, or "" when there is none. Never NULL.
const char* last_error() noexcept;

// How a caught fault becomes the thread's message.
enum class FaultMessage {
    WithPayload,  // "<context>: <fault text>" (model calls)
    Fixed,        // "<context>" alone (insight calls, the inversion of the insight loader)
};

// Stores the engine error's text; returns 5. An error that the engine marks
// as an internal fault is reported as a fault caught under `context` would be.
std::int32_t map_compute_err(const toolbox::ComputeError& err, std::string_view context, FaultMessage mode) noexcept;
// Stores "<context>: <payload>" ("unknown panic payload" without a payload); returns 5.
std::int32_t map_panic_err(std::string_view context, std::optional<std::string_view> payload) noexcept;

// An internal fault of a call: one line on standard error with the fault's
// text ("unknown panic payload" without one) and the message `mode` words
// under `context`; returns 5.
std::int32_t report_internal_fault(std::string_view context, FaultMessage mode,
                                   std::optional<std::string_view> payload) noexcept;

// Stores "<call>: out of memory (an allocation failed)".
void set_out_of_memory(std::string_view call) noexcept;

// The guard around the export named `call`, the one place where an
// exception stops: it runs `body` (which returns a status) and turns a fault
// it throws into status 5 with the message `mode` words under `context`, and
// a report on standard error. Running out of memory is no fault of the
// engine: status 5 with "<call>: out of memory (an allocation failed)" and
// no report. Nothing escapes.
template <class F>
std::int32_t guard(std::string_view call, std::string_view context, FaultMessage mode, F&& body) noexcept {
    try {
        return body();
    } catch (const toolbox::Fault& f) {
        return report_internal_fault(context, mode, f.text());
    } catch (const std::bad_alloc&) {
        set_out_of_memory(call);
        return QEL_STATUS_COMPUTE_FAILED;
    } catch (const std::exception& e) {
        return report_internal_fault(context, mode, e.what());
    } catch (...) {
        return report_internal_fault(context, mode, std::nullopt);
    }
}

}  // namespace ffi::error
