// Counts that arrive as doubles (LAPACK's workspace sizes, the retained
// counts of the weights) and become unsigned 64-bit integers by truncation
// toward zero: exactly the values strictly between -1 and 2^64 do.
#pragma once

#include <cstdint>
#include <string_view>

#include "toolbox/error.hpp"

namespace toolbox {

// 2^64, the first double beyond every unsigned 64-bit count.
inline constexpr double kTwoTo64 = 18446744073709551616.0;

// `v` truncated toward zero. A value that no count can be (NaN included) is
// a broken invariant: it stops the computation with `what`.
inline std::uint64_t to_count(double v, std::string_view what) {
    require(v > -1.0 && v < kTwoTo64, what);
    return v <= 0.0 ? 0 : static_cast<std::uint64_t>(v);
}

}  // namespace toolbox
