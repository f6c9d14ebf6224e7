// The error channel of the C interface: status codes, the calling thread's
// last-error message and the guard that keeps every exception inside the
// library.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
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

// Stores the engine error's text; returns 5.
std::int32_t map_compute_err(const toolbox::ComputeError& err) noexcept;
// Stores "<context>: <payload>" ("unknown panic payload" without a payload); returns 5.
std::int32_t map_panic_err(std::string_view context, const std::optional<std::string>& payload) noexcept;

// One line on standard error for a fault caught at the boundary.
void report_fault(std::string_view context, std::string_view what) noexcept;

// Stores "<call>: out of memory (an allocation failed)".
void set_out_of_memory(std::string_view call) noexcept;

// How a caught fault becomes the thread's message.
enum class FaultMessage {
    WithPayload,  // "<context>: <fault text>" (model calls)
    Fixed,        // "<context>" alone (insight calls, the inversion of the insight loader)
};

// Runs `body` (which returns a status) and turns a fault it throws into
// status 5 with a message, and a report on standard error. Running out of
// memory is no fault: it passes on to the guard of the export, whose name
// its message carries.
template <class F>
std::int32_t catch_faults(std::string_view context, FaultMessage mode, F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const toolbox::Fault& f) {
        report_fault(context, f.text() ? *f.text() : std::string_view("unknown panic payload"));
        if (mode == FaultMessage::Fixed) {
            set_last_error(context);
            return QEL_STATUS_COMPUTE_FAILED;
        }
        return map_panic_err(context, f.text());
    } catch (const std::exception& e) {
        report_fault(context, e.what());
        if (mode == FaultMessage::Fixed) {
            set_last_error(context);
            return QEL_STATUS_COMPUTE_FAILED;
        }
        return map_panic_err(context, std::string(e.what()));
    } catch (...) {
        report_fault(context, "unknown panic payload");
        if (mode == FaultMessage::Fixed) {
            set_last_error(context);
            return QEL_STATUS_COMPUTE_FAILED;
        }
        return map_panic_err(context, std::nullopt);
    }
}

// The guard around the export named `call`: faults as catch_faults does,
// and running out of memory as status 5 with a message that says only that,
// "<call>: out of memory (an allocation failed)", and no report: it is not
// a fault of the engine. Nothing escapes.
template <class F>
std::int32_t guard(std::string_view call, std::string_view context, FaultMessage mode, F&& body) noexcept {
    try {
        return catch_faults(context, mode, body);
    } catch (...) {
        // Only an allocation failure leaves catch_faults.
        set_out_of_memory(call);
        return QEL_STATUS_COMPUTE_FAILED;
    }
}

}  // namespace ffi::error
