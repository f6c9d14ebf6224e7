#include "toolbox/qel/results/base.hpp"

#include <bit>
#include <cstdint>
#include <utility>

#include "toolbox/count.hpp"

namespace toolbox::qel::results {
namespace {

// "Not computed" is the one canonical quiet NaN, so that hosts comparing bit
// patterns see the same value everywhere.
const double NOT_COMPUTED = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

}  // namespace

SharedMatrix share(Matrix&& m) { return std::make_shared<Matrix>(std::move(m)); }

CountVector to_counts(const Vector& v) {
    CountVector out = CountVector::uninit(v.size());
    for (std::size_t k = 0; k < v.size(); ++k) out[k] = to_count(v[k], "retained count out of range");
    return out;
}

Matrix& make_mut(SharedMatrix& m) {
    require(m != nullptr, "shared matrix handle is empty");
    if (m.use_count() > 1) m = std::make_shared<Matrix>(*m);
    return *m;
}

PredictionResults PredictionResults::create(std::size_t num_observations, std::size_t num_variables,
                                            std::size_t num_thresholds, Vector thresholds) {
    PredictionResults r;
    r.thresholds = std::move(thresholds);
    r.num_observations = num_observations;
    r.num_variables = num_variables;
    r.num_thresholds = num_thresholds;
    for (Vector* v : {&r.core.yhat, &r.core.fit, &r.core.agreement, &r.core.outlier_influence, &r.core.asymmetry,
                      &r.core.adjusted_fit, &r.core.k_fit}) {
        *v = Vector(num_thresholds, NOT_COMPUTED);
    }
    return r;
}

PredictionResults deep_copy(const PredictionResults& results) { return results; }

}  // namespace toolbox::qel::results
