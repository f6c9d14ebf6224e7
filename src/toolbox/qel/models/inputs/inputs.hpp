// What the model runs refuse of their data before they run: values with
// which a run would report success on numbers that mean nothing (a missing
// outcome gives a prediction of NaN with a fit of 0; a missing target
// attribute leaves every observation without a relevance, so nothing is
// retained and the prediction is 0).
#pragma once

#include <cstdint>
#include <span>

#include "toolbox/enums/enums.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"

namespace toolbox::qel::models::inputs {

// What a run needs of its target row.
enum class TargetRule {
    // A value for every attribute: a prediction or max-fit run.
    EveryAttribute,
    // A value for at least one: a grid run, whose cells that use a missing
    // target attribute retain nothing and weigh nothing in its composite.
    SomeAttribute,
};

// Refuses, in this order, the first outcome that is not finite; on the
// logistic scale, the first outcome outside [0, 1]; a target row that `rule`
// does not accept. Each message names the position and the remedy.
Result<void> check_model_inputs(matrix::VecView y, matrix::VecView theta, enums::PredictionScale scale,
                                TargetRule rule);

// Refuses, for a covariance to be inverted by LU or Cholesky, the first
// column of X whose observed values (two or more, all finite) are all equal:
// its variance is 0, or rounding noise that the inverse turns into a weight
// in every distance. The pseudoinverse leaves such a column out by itself.
// With `used`, only the columns it flags are looked at.
Result<void> check_constant_columns(matrix::MatView x, enums::InversionMethod method,
                                    std::span<const std::uint8_t> used = {});

// Refuses a run in which no observation has a finite censor score (its
// relevance or similarity, by `censor`): it would retain nothing.
Result<void> check_censor_scores(matrix::VecView scores, enums::CensorType censor);

// Refuses a run in which only one observation has a relevance (every other
// row misses a value): the weights stand on the spread of the relevances,
// their squares summed over their number minus one, and would all be 0.
Result<void> check_rows_with_relevance(matrix::VecView relevance);

}  // namespace toolbox::qel::models::inputs
