#include "toolbox/qel/models/grid/grid.hpp"

#include <cstdio>
#include <string>

#include "toolbox/format.hpp"
#include "toolbox/qel/models/grid/parallel.hpp"
#include "toolbox/qel/models/grid/sequential.hpp"

namespace toolbox::qel::models::grid {

bool grid_runs_in_parallel(std::size_t n_observations, const config::GridOptions& options) {
    const std::size_t limit =
        options.predict.censor_type == enums::CensorType::Both ? kSequentialUpToWithBoth : kSequentialUpTo;
    return options.inner_parallel == enums::InnerParallel::Auto && n_observations > limit;
}

Result<results::PredictionResults> predict_grid(matrix::VecView y, matrix::MatView x, matrix::VecView theta,
                                                const config::GridOptions& options) {
    const std::size_t n = x.rows();
    const bool par = grid_runs_in_parallel(n, options);
    if (options.predict.verbose) {
        const std::string line =
            format("Using {} execution for grid prediction ({} censor, {} observations)\n",
                   par ? "parallel" : "sequential", enums::censor_type_debug_name(options.predict.censor_type), n);
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    if (par) return parallel::predict_grid_parallel(y, x, theta, options);
    return sequential::predict_grid_sequential(y, x, theta, options);
}

}  // namespace toolbox::qel::models::grid
