// The engine's two failure channels.
//
// An ordinary failure (a singular covariance, an option the run cannot honour)
// is a value: every fallible routine returns `Result<T>`, either its result or a
// `ComputeError` holding a fixed English message. Some failures the C boundary
// reports as internal faults of the call, in the call's fault words and with a
// line on standard error (an inversion that a step cannot do without, failing
// on a covariance that the data made exactly singular): they are values too,
// marked so, and reach the boundary by the same road as every other failure.
//
// A violated internal precondition (unequal lengths that no caller passes, a
// LAPACK workspace size out of range) is a bug, not an outcome: it throws
// `Fault`, which only the guard at the C boundary catches.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace toolbox {

struct ComputeError {
    std::string message;
    // The boundary reports this failure as an internal fault of the call.
    bool internal_fault = false;
};

template <class T>
using Result = std::expected<T, ComputeError>;

inline std::unexpected<ComputeError> compute_error(std::string message) {
    return std::unexpected<ComputeError>(ComputeError{std::move(message)});
}

// A failure that the boundary reports as an internal fault.
inline std::unexpected<ComputeError> internal_fault(std::string message) {
    return std::unexpected<ComputeError>(ComputeError{std::move(message), true});
}

// `error`, reported as an internal fault: the failure of a step that its
// caller has already made sure cannot fail.
inline std::unexpected<ComputeError> internal_fault(ComputeError error) {
    error.internal_fault = true;
    return std::unexpected<ComputeError>(std::move(error));
}


// The engine's fault type. It carries a text, or none when the fault has no
// message (reported at the boundary as "unknown panic payload").
class Fault {
public:
    Fault() = default;
    explicit Fault(std::string text) : text_(std::move(text)) {}
    const std::optional<std::string>& text() const noexcept { return text_; }

private:
    std::optional<std::string> text_;
};

[[noreturn]] inline void fault(std::string text) { throw Fault(std::move(text)); }


// Stops the computation when an internal precondition does not hold.
inline void require(bool condition, std::string_view text) {
    if (!condition) [[unlikely]] {
        fault(std::string(text));
    }
}

}  // namespace toolbox
