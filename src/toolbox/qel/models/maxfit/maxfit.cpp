#include "toolbox/qel/models/maxfit/maxfit.hpp"

namespace toolbox::qel::models::maxfit {

// No size of the input enters the choice: two censor types are always worth
// two workers.
Result<MaxFitCandidate> predict_maxfit_simple(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                              const config::MaxFitOptions& options) {
    if (options.inner_parallel == enums::InnerParallel::Auto &&
        options.predict.censor_type == enums::CensorType::Both) {
        return predict_maxfit_parallel(y, x, theta, options);
    }
    return predict_maxfit_sequential(y, x, theta, options);
}

}  // namespace toolbox::qel::models::maxfit
