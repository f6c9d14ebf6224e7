// The cell of a grid run: the prediction pipeline on a set of columns, once
// per censor type of the run, with the inverse of the cell's own covariance
// and, for two censor passes, one relevance computed for both. The cells of
// the combinations and the noise-twin runs are both such cells; they differ
// in their columns, their covariance and what they keep of each pass.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "toolbox/enums/enums.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/qel/models/config/grid_options.hpp"
#include "toolbox/qel/models/grid/accumulator.hpp"
#include "toolbox/qel/models/grid/setup.hpp"
#include "toolbox/qel/models/predict/predict.hpp"
#include "toolbox/qel/results/base.hpp"

namespace toolbox::qel::models::grid::helpers {

// What every cell of one run reads.
struct GridRunContext {
    const GridPredictionSetup& setup;
    const config::GridOptions& options;
    std::vector<enums::CensorType> censors;
    std::size_t t = 0;
    std::optional<NoiseTwins> twins;
    // What every cell would otherwise work out again from the same data,
    // when the run has it: the spread of y that its fit statistics take, and
    // the plain column means of X that a cell on the full covariance centres
    // its relevance on (empty when absent).
    std::optional<insights::fit::OutcomeSpread> outcomes;
    matrix::Vector column_means;
};

// The steps of a cell whose failure a run words.
enum class CellStep { CovarianceSource, Inversion, Relevance, Prediction };

// How a run words the failure of a cell: as it is (a combination in the
// sequential run), with the combination's index (a combination job on the
// pool: `index` is q), or with the twin's column (a noise-twin run in either
// mode: `index` is k).
struct CellWording {
    enum class Kind { AsItIs, PoolJob, NoiseTwin };
    Kind kind = Kind::AsItIs;
    std::size_t index = 0;

    ComputeError operator()(CellStep step, enums::CensorType censor, ComputeError error) const;
};

// One cell's inputs: the columns (N x m), the target (m), the cell's
// covariance (m x m), the columns of X they are (m, for messages), whether
// they reach a missing value, and the parts each pass builds.
struct CellInputs {
    matrix::MatView x;
    matrix::VecView theta;
    matrix::MatView cov;
    std::span<const std::size_t> columns;
    bool touches_hole = false;
    predict::PipelineParts parts;
};

// The means of the shared relevance, asked for only when the run has two
// censor passes.
using CellMeans = std::function<CombinationMean()>;

// What a cell keeps of one censor pass.
using PassSink = std::function<void(enums::CensorType censor, const predict::PredictInnerResult& pass)>;

// Runs the cell: inverts its covariance, computes the shared relevance for
// two passes, and runs the pipeline once per censor type of the run, handing
// each pass to `keep`. The first failure ends the cell, worded by `wording`.
Result<void> run_cell(const GridRunContext& ctx, const CellInputs& cell, const CellMeans& means,
                      const CellWording& wording, const PassSink& keep);

// Receives a finished combination pass for the retained-cell storage.
using CellSink = std::function<void(enums::CensorType censor, std::size_t j, matrix::VecView yhat,
                                    const results::PredictionResults& cell, ByteRow row)>;

// The cells of combination j under every censor type, added to `acc` (and
// to `sink` when the run keeps cells). Nothing for a combination without
// columns.
Result<void> run_combination_cell(const GridRunContext& ctx, const ComboSelection& sel, std::size_t j,
                                  GridCompositeAccumulator& acc, const CellSink* sink, const CellWording& wording);

}  // namespace toolbox::qel::models::grid::helpers
