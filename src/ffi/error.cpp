#include "ffi/error.hpp"

#include <cstdio>
#include <memory>

#include "qelcore.h"

namespace ffi::error {
namespace {

// Empty until the thread's first failure; the text stays put (and so does the
// pointer qel_last_error handed out) until the next clear or set.
thread_local std::string LAST_ERROR;
thread_local bool HAS_LAST_ERROR = false;
// Set when a message could not be stored for lack of memory: a failing call
// must still leave a reason, so a fixed text (which needs no memory) stands in.
thread_local bool HAS_FALLBACK = false;
constexpr const char* OUT_OF_MEMORY_TEXT = "out of memory (an allocation failed)";

}  // namespace

void clear_last_error() noexcept {
    HAS_LAST_ERROR = false;
    HAS_FALLBACK = false;
    LAST_ERROR.clear();
    LAST_ERROR.shrink_to_fit();
}

void set_last_error(std::string_view message) noexcept {
    try {
        std::string text;
        text.reserve(message.size());
        for (char c : message) {
            if (c != '\0') text.push_back(c);
        }
        LAST_ERROR = std::move(text);
        HAS_LAST_ERROR = true;
        HAS_FALLBACK = false;
    } catch (...) {
        // No memory even for the message: keep a fixed text rather than none.
        LAST_ERROR.clear();
        HAS_LAST_ERROR = false;
        HAS_FALLBACK = true;
    }
}

const char* last_error() noexcept {
    if (HAS_LAST_ERROR) return LAST_ERROR.c_str();
    return HAS_FALLBACK ? OUT_OF_MEMORY_TEXT : "";
}

std::int32_t map_compute_err(const toolbox::ComputeError& err, std::string_view context, FaultMessage mode) noexcept {
    if (err.internal_fault) return report_internal_fault(context, mode, err.message);
    set_last_error(err.message);
    return QEL_STATUS_COMPUTE_FAILED;
}

std::int32_t map_panic_err(std::string_view context, std::optional<std::string_view> payload) noexcept {
    try {
        std::string message(context);
        message += ": ";
        message += payload ? *payload : std::string_view("unknown panic payload");
        set_last_error(message);
    } catch (...) {
        set_last_error(context);
    }
    return QEL_STATUS_COMPUTE_FAILED;
}

std::int32_t report_internal_fault(std::string_view context, FaultMessage mode,
                                   std::optional<std::string_view> payload) noexcept {
    const std::string_view what = payload ? *payload : std::string_view("unknown panic payload");
    std::fprintf(stderr, "qelcore: internal fault caught (%.*s): %.*s\n", static_cast<int>(context.size()),
                 context.data(), static_cast<int>(what.size()), what.data());
    if (mode == FaultMessage::Fixed) {
        set_last_error(context);
        return QEL_STATUS_COMPUTE_FAILED;
    }
    return map_panic_err(context, payload);
}

void set_out_of_memory(std::string_view call) noexcept {
    try {
        std::string message(call);
        message += ": ";
        message += OUT_OF_MEMORY_TEXT;
        set_last_error(message);
    } catch (...) {
        set_last_error(OUT_OF_MEMORY_TEXT);
    }
}

}  // namespace ffi::error

extern "C" QEL_API const char* qel_last_error(void) { return ffi::error::last_error(); }
