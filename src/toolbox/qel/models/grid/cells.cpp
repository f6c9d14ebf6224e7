#include "toolbox/qel/models/grid/cells.hpp"

#include <cmath>
#include <optional>

#include "toolbox/error.hpp"
#include "toolbox/qel/results/mutators.hpp"

namespace toolbox::qel::models::grid::helpers {

using enums::CensorType;
using enums::GridRetainKey;
using enums::RetainGridObjects;
using matrix::Array3d;
using matrix::Matrix;
using matrix::Vector;
using matrix::VecView;
using results::GridCellsData;
using results::PredictionResults;

namespace {

void write_row(Matrix& m, std::size_t j, VecView v) {
    require(j < m.rows(), "grid cell index beyond the stored combinations");
    if (v.size() == 1) {
        for (std::size_t t = 0; t < m.cols(); ++t) m(j, t) = v[0];
        return;
    }
    require(v.size() == m.cols(), "grid cell array cannot be broadcast to the stored thresholds");
    for (std::size_t t = 0; t < m.cols(); ++t) m(j, t) = v[t];
}

}  // namespace

GridCellsData initialize_grid_cell_storage(std::span<const CensorType> censors, std::size_t c, std::size_t t,
                                           std::size_t k, std::size_t n, const RetainGridObjects& retain) {
    GridCellsData cells;
    if (enums::retains_any(retain, {GridRetainKey::KCells})) cells.k_cells = results::share(Matrix(c, t));
    if (enums::retains_any(retain, {GridRetainKey::CombiCells})) cells.combi_cells = results::share(Matrix(c, k));
    const bool solo = enums::retains_any(retain, {GridRetainKey::YsoloDistribution, GridRetainKey::YsoloCells});
    if (solo) cells.ysolo_cells = results::share(Matrix(n, c));

    if (!enums::retains_any(retain, {GridRetainKey::YhatCells, GridRetainKey::AdjustedFitCells, GridRetainKey::NCells,
                        GridRetainKey::WeightsCells, GridRetainKey::YsoloDistribution, GridRetainKey::YsoloCells})) {
        return cells;
    }
    for (CensorType censor : censors) {
        results::CensorGridCells part;
        if (enums::retains_any(retain, {GridRetainKey::YhatCells})) part.yhat_cells = Matrix(c, t);
        if (enums::retains_any(retain, {GridRetainKey::AdjustedFitCells})) part.adjusted_fit_cells = Matrix(c, t);
        if (enums::retains_any(retain, {GridRetainKey::NCells})) part.n_cells = Matrix(c, t);
        if (enums::retains_any(retain, {GridRetainKey::WeightsCells})) part.weights_cells = Array3d(n, t, c);
        if (solo) part.xi_solo_cells = Array3d(n, t, c);
        switch (censor) {
            case CensorType::Relevance: cells.relevance = std::move(part); break;
            case CensorType::Similarity: cells.similarity = std::move(part); break;
            default:
                fault("internal error: entered unreachable code: Both should be expanded before calling this "
                      "function");
        }
    }
    return cells;
}

void store_grid_cell_details(GridCellsData& cells, CensorType censor, std::size_t j, VecView yhat,
                             const PredictionResults& cell, ByteRow row) {
    std::optional<results::CensorGridCells>* target = nullptr;
    if (censor == CensorType::Relevance) {
        target = &cells.relevance;
    } else if (censor == CensorType::Similarity) {
        target = &cells.similarity;
    } else {
        return;
    }
    const bool has_solo = cell.solo_distribution.has_value();
    if (target->has_value()) {
        results::CensorGridCells& part = **target;
        if (part.yhat_cells) write_row(*part.yhat_cells, j, yhat);
        if (part.adjusted_fit_cells) write_row(*part.adjusted_fit_cells, j, cell.core.adjusted_fit.view());
        if (part.n_cells) {
            Matrix& m = *part.n_cells;
            if (cell.auxiliary) {
                Vector nv = Vector::uninit(cell.auxiliary->n.size());
                for (std::size_t i = 0; i < nv.size(); ++i) nv[i] = static_cast<double>(cell.auxiliary->n[i]);
                write_row(m, j, nv.view());
            } else {
                write_row(m, j, Vector(m.cols()).view());
            }
        }
        if (part.weights_cells && cell.weights) {
            Array3d& w = *part.weights_cells;
            const Matrix& cw = *cell.weights;
            require(j < w.dim2() && cw.rows() == w.dim0() && cw.cols() == w.dim1(),
                    "grid cell weights do not match the stored cells");
            for (std::size_t i = 0; i < cw.rows(); ++i) {
                for (std::size_t t = 0; t < cw.cols(); ++t) w(i, t, j) = cw(i, t);
            }
        }
        if (part.xi_solo_cells && has_solo && cell.solo_distribution->xi_solo) {
            Array3d& xs = *part.xi_solo_cells;
            const Matrix& xi = *cell.solo_distribution->xi_solo;
            const Vector& af = cell.core.adjusted_fit;
            require(j < xs.dim2() && xi.rows() == xs.dim0() && xi.cols() == xs.dim1() && af.size() == xi.cols(),
                    "grid cell solo weights do not match the stored cells");
            for (std::size_t i = 0; i < xi.rows(); ++i) {
                for (std::size_t t = 0; t < xi.cols(); ++t) {
                    const double a = std::isnan(af[t]) ? 0.0 : af[t];
                    xs(i, t, j) = xi(i, t) * a;
                }
            }
        }
    }

    double used = 0.0;
    for (std::uint8_t v : row) used += v != 0 ? 1.0 : 0.0;
    if (cells.k_cells) {
        Matrix& m = results::make_mut(*cells.k_cells);
        write_row(m, j, Vector{used}.view());
    }
    if (cells.ysolo_cells && has_solo && cell.solo_distribution->y_solo) {
        Matrix& m = results::make_mut(*cells.ysolo_cells);
        const Vector& ys = *cell.solo_distribution->y_solo;
        require(j < m.cols() && ys.size() == m.rows(), "grid cell solo predictions do not match the stored cells");
        for (std::size_t i = 0; i < ys.size(); ++i) m(i, j) = ys[i];
    }
    if (cells.combi_cells) {
        Matrix& m = results::make_mut(*cells.combi_cells);
        require(j < m.rows() && row.size() == m.cols(), "grid combination row does not match the stored cells");
        for (std::size_t a = 0; a < row.size(); ++a) m(j, a) = row[a] != 0 ? 1.0 : 0.0;
    }
}

}  // namespace toolbox::qel::models::grid::helpers
