#include "toolbox/qel/models/grid/accumulator.hpp"

#include <cmath>
#include <optional>

#include "toolbox/error.hpp"

namespace toolbox::qel::models::grid::helpers {

using matrix::MatView;
using matrix::Vector;
using matrix::VecView;
using results::PredictionResults;

namespace {

using Acc = GridCompositeAccumulator;

// The sums of the accumulator by the axis they run over; creating and
// merging walk these lists.
constexpr Vector Acc::*kPerObservation[] = {&Acc::include_weight_sum, &Acc::exclude_weight_sum, &Acc::xi_solo_sum,
                                            &Acc::valid_count};
constexpr Vector Acc::*kPerAttribute[] = {&Acc::variable_fit_sum, &Acc::in_fit_sum,       &Acc::out_fit_sum,
                                          &Acc::in_yhat_sum,      &Acc::out_yhat_sum,     &Acc::out_yhat_fit_sum,
                                          &Acc::out_fit_total,    &Acc::twin_fit_sum,     &Acc::twin_yhat_sum};
constexpr double Acc::*kTotals[] = {&Acc::size_fit_total,         &Acc::n_fit_total,      &Acc::yhat_fit_total,
                                    &Acc::adjusted_fit_total_sum, &Acc::fit_square_total, &Acc::second_moment_total};

// An N-vector added to a per-observation sum; one value stands for every row.
void add_broadcast(Vector& sum, VecView v) {
    if (v.size() == 1) {
        for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += v[0];
        return;
    }
    require(v.size() == sum.size(), "grid accumulator: per-observation array does not match the observations");
    for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += v[i];
}

// Row sums of m_it * e_t, each row from 0.0 in threshold order.
Vector weighted_row_sums(MatView m, VecView e) {
    require(m.cols() == e.size(), "grid accumulator: matrix columns do not match the thresholds");
    Vector out(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) {
        double s = 0.0;
        for (std::size_t t = 0; t < e.size(); ++t) s += m(i, t) * e[t];
        out[i] = s;
    }
    return out;
}

}  // namespace

GridCompositeAccumulator GridCompositeAccumulator::create(std::size_t n, std::size_t k) {
    GridCompositeAccumulator a;
    for (auto field : kPerObservation) a.*field = Vector(n);
    for (auto field : kPerAttribute) a.*field = Vector(k);
    a.twin_count.assign(k, 0);
    return a;
}

void GridCompositeAccumulator::merge(const GridCompositeAccumulator& r) {
    auto add = [](auto& a, const auto& b) {
        require(a.size() == b.size(), "grid accumulators of different sizes");
        for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
    };
    for (auto field : kPerObservation) add(this->*field, r.*field);
    for (auto field : kPerAttribute) add(this->*field, r.*field);
    add(twin_count, r.twin_count);
    for (auto field : kTotals) this->*field += r.*field;
    has_solo_statistics = has_solo_statistics || r.has_solo_statistics;
}

void accumulate_grid_composite_stats(GridCompositeAccumulator& acc, VecView yhat, const PredictionResults& cell,
                                     ByteRow row, const results::SoloDistributionStatistics* solo,
                                     const insights::weights::psr_weights::CellAdjFitWeights* cell_weights) {
    const Vector& af = cell.core.adjusted_fit;
    const std::size_t t = af.size();
    require(yhat.size() == t, "grid cell: yhat and adjusted fit differ in length");
    const std::size_t k = acc.variable_fit_sum.size();
    require(row.size() == k, "grid cell: combination row does not match the attributes");

    double s = 0.0;
    for (std::size_t i = 0; i < t; ++i) s += af[i];
    acc.adjusted_fit_total_sum += s;

    double used = 0.0;
    for (std::uint8_t v : row) used += static_cast<double>(v);
    acc.size_fit_total += used * s;

    const results::PredictionAuxiliaryInfo* aux = cell.auxiliary ? &*cell.auxiliary : nullptr;
    if (aux) {
        require(aux->n.size() == t && aux->k.size() == t, "grid cell: auxiliary counts do not match the thresholds");
        double nf = 0.0;
        for (std::size_t i = 0; i < t; ++i) nf += static_cast<double>(aux->n[i]) * af[i];
        acc.n_fit_total += nf;
    }

    double yaf = 0.0;
    for (std::size_t i = 0; i < t; ++i) yaf += yhat[i] * af[i];
    acc.yhat_fit_total += yaf;

    double afaf = 0.0;
    for (std::size_t i = 0; i < t; ++i) afaf += af[i] * af[i];
    acc.fit_square_total += afaf;

    // A threshold that kept no more observations than attributes adds no
    // include weight.
    Vector e = Vector::uninit(t);
    for (std::size_t i = 0; i < t; ++i) {
        const double g = aux ? (aux->n[i] > aux->k[i] ? 1.0 : 0.0) : 1.0;
        e[i] = af[i] * g;
    }

    if (cell_weights) {
        add_broadcast(acc.include_weight_sum, cell_weights->include.view());
        add_broadcast(acc.exclude_weight_sum, cell_weights->exclude.view());
    } else {
        if (cell.weights) add_broadcast(acc.include_weight_sum, weighted_row_sums(cell.weights->view(), e).view());
        if (cell.weights_excluded) {
            add_broadcast(acc.exclude_weight_sum, weighted_row_sums(cell.weights_excluded->view(), af.view()).view());
        }
    }

    double ysum = 0.0;
    for (std::size_t i = 0; i < t; ++i) ysum += yhat[i];
    for (std::size_t j = 0; j < k; ++j) {
        const double l = row[j] != 0 ? 1.0 : 0.0;
        const double m = 1.0 - l;
        acc.variable_fit_sum[j] += l * s;
        acc.in_fit_sum[j] += l * s;
        acc.out_fit_sum[j] += m * s;
        acc.in_yhat_sum[j] += l * ysum;
        acc.out_yhat_sum[j] += m * ysum;
        acc.out_yhat_fit_sum[j] += m * yaf;
        acc.out_fit_total[j] += m * s;
    }

    if (solo && solo->ysolo_sigma) {
        const Vector& sigma = *solo->ysolo_sigma;
        require(sigma.size() == t, "grid cell: solo sigma does not match the thresholds");
        acc.has_solo_statistics = true;
        double sm = 0.0;
        for (std::size_t i = 0; i < t; ++i) {
            const double si = std::isnan(sigma[i]) ? 0.0 : sigma[i];
            sm += (si * si + yhat[i] * yhat[i]) * af[i];
        }
        acc.second_moment_total += sm;
    }

    if (cell.solo_distribution && cell.solo_distribution->xi_solo) {
        add_broadcast(acc.xi_solo_sum, weighted_row_sums(cell.solo_distribution->xi_solo->view(), e).view());
    }

    if (cell.insights) {
        const std::optional<Vector>* scores = nullptr;
        if (cell.insights->relevance) {
            scores = &cell.insights->relevance;
        } else if (cell.insights->similarity) {
            scores = &cell.insights->similarity;
        }
        if (scores) {
            const Vector& sc = **scores;
            require(sc.size() == acc.valid_count.size(), "grid cell: scores do not match the observations");
            const double dt = static_cast<double>(t);
            for (std::size_t i = 0; i < sc.size(); ++i) {
                if (!std::isnan(sc[i])) acc.valid_count[i] += dt;
            }
        }
    }
}

}  // namespace toolbox::qel::models::grid::helpers
