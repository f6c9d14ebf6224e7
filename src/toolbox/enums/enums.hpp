// The option enumerations, each held in one byte; the code is the stored value
// and the integer the C setters accept.
//
// The enumerations that have text forms live in their own modules with their
// parsers; this header gathers them with the code-only ones, so that a reader
// of options needs one include.
#pragma once

#include <cstdint>

#include "toolbox/enums/censor_operator.hpp"
#include "toolbox/enums/censor_type.hpp"
#include "toolbox/enums/inner_parallel.hpp"
#include "toolbox/enums/maxfit_objective.hpp"
#include "toolbox/enums/retain_grid_objects.hpp"

namespace toolbox::enums {

// A threshold is a raw score, or t stands for the 100 t-th percentile of the
// censor scores. Parsed by its C setter only.
enum class CensorUnit : std::uint8_t { Score = 0, Percent = 1 };
enum class InversionMethod : std::uint8_t { Gaussian = 0, Cholesky = 1, Pseudoinverse = 2 };
enum class AdjFitMultiplier : std::uint8_t { Identity = 0, K = 1, Log = 2 };
enum class PredictionScale : std::uint8_t { Response = 0, Logistic = 1 };
enum class MissingMoments : std::uint8_t { Pairwise = 0, Complete = 1 };

}  // namespace toolbox::enums
