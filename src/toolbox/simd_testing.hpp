// For tests only: runs every kernel at one level, so that a suite can compare
// the copies of each instruction set with the portable ones through the
// engine's ordinary entry points.
#pragma once

#include "toolbox/simd.hpp"

namespace toolbox::simd::testing {

// From now on `simd::run` dispatches on `level` (clamped to each kernel's
// widest), in every thread; force_level(best_level()) restores the default.
// The level must be supported. Not for use while kernels run.
void force_level(Level level);

}  // namespace toolbox::simd::testing
