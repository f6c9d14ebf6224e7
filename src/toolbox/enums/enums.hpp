// The option enumerations, each held in one byte; the code is the stored value
// and the integer the C setters accept.
#pragma once

#include <cstdint>

namespace toolbox::enums {

enum class CensorType : std::uint8_t { Relevance = 0, Similarity = 1, Both = 2 };
enum class CensorOperator : std::uint8_t { GreaterThan = 0, LessThan = 1, GreaterThanOrEqual = 2, LessThanOrEqual = 3 };
enum class CensorUnit : std::uint8_t { Score = 0, Percent = 1 };
enum class InversionMethod : std::uint8_t { Gaussian = 0, Cholesky = 1, Pseudoinverse = 2 };
enum class AdjFitMultiplier : std::uint8_t { Identity = 0, K = 1, Log = 2 };
enum class PredictionScale : std::uint8_t { Response = 0, Logistic = 1 };
enum class MissingMoments : std::uint8_t { Pairwise = 0, Complete = 1 };
enum class InnerParallel : std::uint8_t { Auto = 0, Off = 1 };

}  // namespace toolbox::enums
