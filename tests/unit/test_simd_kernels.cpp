// Every vector kernel, run at each instruction set level this processor
// supports, gives the bits of its portable copy: the same IEEE operations in
// the same order, lane by lane. The kernels are reached through the engine's
// own entry points with the level forced, so what runs is the dispatch the
// engine uses. Widths and row counts that are no multiple of the vector
// width, NaN among the values and masks of both kinds exercise the tails.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "sample_data.hpp"
#include "toolbox/error.hpp"
#include "toolbox/matrix/gram.hpp"
#include "toolbox/matrix/mask.hpp"
#include "toolbox/matrix/order_statistics.hpp"
#include "toolbox/matrix/rowwise.hpp"
#include "toolbox/qel/insights/fit/fit.hpp"
#include "toolbox/qel/insights/fit/weight_columns.hpp"
#include "toolbox/qel/insights/solo_distributions/solo_distributions.hpp"
#include "toolbox/qel/insights/weights/psr_weights.hpp"
#include "toolbox/qel/models/binary/binary.hpp"
#include "toolbox/simd_testing.hpp"
#include "toolbox/stats/distances.hpp"
#include "toolbox/stats/histogram_counts.hpp"

namespace {

namespace simd = toolbox::simd;
namespace fit = toolbox::qel::insights::fit;
namespace psr = toolbox::qel::insights::weights::psr_weights;
namespace solo = toolbox::qel::insights::solo_distributions;
using simd::Level;
using toolbox::enums::CensorOperator;
using toolbox::matrix::BoolMatrix;
using toolbox::matrix::Matrix;
using toolbox::matrix::MatView;
using toolbox::matrix::Vector;
using toolbox::matrix::VecView;

// The value of a step that must succeed; a failure ends the test.
template <class T>
const T& value(const toolbox::Result<T>& r) {
    if (!r) throw std::runtime_error(r.error().message);
    return *r;
}

// Every output of one run, in order, as doubles.
struct Outputs {
    std::vector<double> values;

    Outputs& add(double v) {
        values.push_back(v);
        return *this;
    }
    Outputs& add(VecView v) {
        for (std::size_t i = 0; i < v.size(); ++i) values.push_back(v[i]);
        return *this;
    }
    Outputs& add(MatView m) {
        for (std::size_t i = 0; i < m.rows(); ++i) add(m.row(i));
        return *this;
    }
    Outputs& add(const BoolMatrix& m) {
        for (bool b : m.flat()) values.push_back(b ? 1.0 : 0.0);
        return *this;
    }
    Outputs& add(const fit::FitResult& r) { return add(r.fit).add(r.rho).add(r.outlier_influence).add(r.agreement); }
    template <class T>
    Outputs& add(const toolbox::Result<T>& r) {
        return add(value(r));
    }
};

// The widths the lane kernels take: below one vector, between vectors, past
// one block of 16 and past the 32 columns a row-sum pass keeps in registers.
constexpr std::size_t kWidths[] = {1, 2, 3, 5, 8, 11, 17, 33, 38};
constexpr std::size_t kRows = 37;

// A sample of `n` rows and `k` columns, NaN in about one value in ten when
// `nan` is set.
Matrix sample(std::size_t n, std::size_t k, unsigned seed, bool nan = true) {
    return test_data::make_data(n, k, seed, nan ? 0.1 : 0.0).x;
}

Vector column(const Matrix& m, std::size_t j) {
    Vector v = Vector::uninit(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) v[i] = m(i, j);
    return v;
}

// Both masks of a column of values against t thresholds from the sample.
std::pair<BoolMatrix, BoolMatrix> masks(VecView values, std::size_t t, CensorOperator op) {
    Vector thresholds = Vector::uninit(t);
    for (std::size_t j = 0; j < t; ++j) thresholds[j] = -1.5 + 3.0 * static_cast<double>(j) / static_cast<double>(t);
    return toolbox::matrix::mask::apply_mask::generate_include_masks(values, thresholds, op);
}

// A well-conditioned symmetric K x K matrix.
Matrix inverse_like(std::size_t k) {
    Matrix c(k, k);
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j < k; ++j) c(i, j) = i == j ? 1.5 : 0.1 / static_cast<double>(1 + i + j);
    return c;
}

Outputs rowwise_passes() {
    namespace rw = toolbox::matrix::rowwise;
    Outputs out;
    for (std::size_t k : kWidths) {
        const Matrix x = sample(kRows, k, 11 + k);
        Vector sum(k), present(k);
        std::vector<std::int64_t> count(k);
        rw::column_sums(x, sum.data());
        rw::present_sums(x, present.data(), count.data());
        out.add(sum).add(present);
        for (std::int64_t c : count) out.add(static_cast<double>(c));
        Vector complete(k);
        out.add(static_cast<double>(rw::complete_row_sums(x, complete.data()))).add(complete);

        const std::size_t width = (k + 3) / 4 * 4;
        Vector mean(width, 0.0);
        for (std::size_t j = 0; j < k; ++j) mean[j] = 0.25 * static_cast<double>(j) - 0.5;
        Matrix chunk(kRows, width);
        rw::centre(x, 0, kRows, mean.data(), chunk.data(), width);
        out.add(chunk);
        Matrix filled(kRows, width);
        std::vector<std::uint32_t> rows_with_nan(kRows);
        std::vector<std::uint64_t> nan_bits(kRows);
        const std::size_t flagged =
            rw::centre_zero_filled(x, 0, kRows, mean.data(), filled.data(), width, rows_with_nan.data(), nan_bits.data());
        out.add(filled).add(static_cast<double>(flagged));
        for (std::size_t r = 0; r < flagged; ++r) {
            out.add(rows_with_nan[r]).add(static_cast<double>(nan_bits[r]));
        }
        Matrix complete_rows(kRows, width);
        std::size_t i = 0;
        out.add(static_cast<double>(rw::centre_complete_rows(x, i, mean.data(), complete_rows.data(), width, 9)));
        out.add(static_cast<double>(i)).add(complete_rows);
    }
    return out;
}

Outputs gram_sums() {
    namespace gram = toolbox::matrix::gram;
    Outputs out;
    for (std::size_t k : {3u, 8u, 13u, 17u, 24u, 33u}) {
        const Matrix x = sample(kRows, k, 23 + k, false);
        for (bool by_tiles : {false, true}) {
            gram::Accumulator acc(k);
            for (std::size_t r = 0; r < kRows; ++r) std::copy_n(x.row(r).data(), k, acc.chunk_row(r));
            const std::vector<gram::Tile> tiles = gram::upper_tiles(acc.width());
            by_tiles ? acc.flush(kRows, tiles) : acc.flush(kRows);
            for (std::size_t j = 0; j < k; ++j)
                for (std::size_t l = j; l < k; ++l) out.add(acc.sum(j, l));
        }
        // The rows read in place and centred as they are read, but for the
        // last, centred into the chunk.
        gram::Accumulator acc(k);
        std::vector<double> mean(acc.width(), 0.0);
        for (std::size_t j = 0; j < k; ++j) mean[j] = 0.25 * static_cast<double>(j) - 1.0;
        const std::vector<gram::Tile> tiles = gram::upper_tiles(acc.width());
        const std::size_t in_place = kRows - gram::in_place_tail(x);
        acc.add_in_place(x, 0, in_place, mean.data(), tiles);
        for (std::size_t r = in_place; r < kRows; ++r)
            for (std::size_t j = 0; j < k; ++j) acc.chunk_row(r - in_place)[j] = x(r, j) - mean[j];
        acc.flush(kRows - in_place, tiles);
        for (std::size_t j = 0; j < k; ++j)
            for (std::size_t l = j; l < k; ++l) out.add(acc.sum(j, l));
    }
    return out;
}

Outputs include_masks() {
    Outputs out;
    const Vector values = column(sample(kRows, 1, 5), 0);
    for (std::size_t t : {1u, 3u, 4u, 7u, 9u}) {
        for (CensorOperator op : {CensorOperator::GreaterThan, CensorOperator::LessThan,
                                  CensorOperator::GreaterThanOrEqual, CensorOperator::LessThanOrEqual}) {
            const auto [in, ex] = masks(values, t, op);
            out.add(in).add(ex);
        }
    }
    return out;
}

Outputs distances() {
    namespace dist = toolbox::stats::distances;
    Outputs out;
    for (std::size_t k : {2u, 3u, 5u, 9u, 17u}) {
        const Matrix x = sample(kRows, k, 31 + k);
        const Vector a = Vector::from(x.row(1)), b = Vector::from(x.row(4));
        const Matrix c = inverse_like(k);
        out.add(dist::mahalanobis(x, a, c));
        const auto pair = dist::mahalanobis_pair(x, a, b, c);
        out.add(value(pair).first).add(pair->second);
    }
    return out;
}

Outputs order_statistics() {
    namespace sorting = toolbox::matrix::sorting;
    Outputs out;
    const Vector data = column(sample(kRows, 1, 41), 0);
    const std::vector<std::size_t> places = {0, 3, 17, 30};
    for (sorting::Order order : {sorting::Order::Stable, sorting::Order::Total}) {
        std::vector<double> got(places.size());
        out.add(static_cast<double>(sorting::select_non_nan(data, order, places, got)));
        for (double v : got) out.add(v);
    }
    return out;
}

Outputs histogram_shares() {
    namespace hist = toolbox::stats::histogram;
    Outputs out;
    const Vector values = column(sample(kRows, 1, 43), 0);
    const std::vector<double> edges = {-2.0, -1.0, -0.25, 0.5, 1.0, 2.0};
    for (std::size_t k : kWidths) {
        const Matrix weights = sample(kRows, k, 47 + k);
        for (const hist::KeptRange kept : {hist::KeptRange{}, hist::KeptRange{false, -1.0, 1.0}}) {
            out.add(hist::weight_share_counts(values, weights, kept, edges));
        }
    }
    return out;
}

Outputs outcome_sums() {
    namespace binary = toolbox::qel::models::binary;
    Outputs out;
    for (std::size_t k : {1u, 3u, 6u, 17u}) {
        Vector y = Vector::uninit(kRows);
        double sum_y = 0.0;
        for (std::size_t i = 0; i < kRows; ++i) sum_y += y[i] = i % 3 == 0 ? 1.0 : 0.0;
        const Matrix c = inverse_like(k);
        // NaN kept (which spreads through the sums) and NaN counted as 0.
        out.add(binary::informativeness_from_x(y, sample(kRows, k, 53 + k, false), c.view(), sum_y));
        const auto scale = binary::logistic_scale(y, sample(kRows, k, 57 + k), c.view());
        out.add(value(scale).correction).add(scale->log_odds);
    }
    return out;
}

// The weights of a prediction run: y, relevance and both masks of the
// thresholds of one attribute.
struct WeightInputs {
    Vector y, r;
    BoolMatrix include, exclude;
};

WeightInputs weight_inputs(std::size_t t, unsigned seed) {
    const test_data::Data d = test_data::make_data(kRows, 2, seed);
    auto [in, ex] = masks(column(d.x, 0), t, CensorOperator::GreaterThanOrEqual);
    Vector r = column(d.x, 1);
    for (std::size_t i = 0; i < kRows; i += 7) r[i] = std::numeric_limits<double>::quiet_NaN();
    return {d.y, std::move(r), std::move(in), std::move(ex)};
}

Outputs weight_columns() {
    Outputs out;
    for (std::size_t k : kWidths) {
        const Matrix w = sample(kRows, k, 59 + k);
        const Vector y = column(sample(kRows, 1, 61, false), 0);
        out.add(fit::weights_concentration_from_matrix(w));
        const fit::WeightColumnPasses passes = fit::weight_column_passes(w, y);
        out.add(passes.concentration).add(passes.column_sums).add(passes.weighted_outcomes);
        const fit::WeightColumnPasses sums = fit::weight_column_sums(w, y);
        out.add(sums.column_sums).add(sums.weighted_outcomes);
        out.add(fit::fit(w, y)).add(fit::fit_vectorized(w, y));
    }
    return out;
}

Outputs solo_distributions() {
    Outputs out;
    for (std::size_t t : {1u, 3u, 6u, 13u}) {
        const WeightInputs in = weight_inputs(t, 67 + t);
        const Vector theta = {0.7};
        out.add(solo::estimate_y_solo(in.y, in.r, theta, 0.25));
        const Matrix xi = solo::estimate_solo_weights(in.r, in.include);
        out.add(xi);
        const Vector yhat(t, 0.125);
        const auto st = solo::compute_solo_statistics(in.y, xi, yhat);
        out.add(value(st).sigma).add(st->skewness).add(st->kurtosis);
    }
    return out;
}

Outputs partial_sample_weights() {
    Outputs out;
    for (std::size_t t : {1u, 3u, 5u, 8u, 13u}) {
        const WeightInputs in = weight_inputs(t, 71 + t);
        const double n_f = static_cast<double>(kRows);
        const auto w = psr::psr_weights_include_exclude(in.include, in.exclude, in.r, n_f);
        out.add(value(w).weights).add(w->weights_excluded);
        const auto result = psr::psr_eval_include_exclude(in.include, in.exclude, in.r, n_f);
        const psr::PsrEval& eval = value(result);
        const psr::PsrSide& side = eval.include_side;
        // Both sides' data come from one pass over the two masks at some levels.
        for (const psr::PsrSide* s : {&eval.include_side, &eval.exclude_side})
            out.add(s->lambda_sq).add(s->part_var).add(s->n).add(s->part_mean);
        out.add(psr::psr_stream_yhat(in.y, in.r, in.include, side, n_f));
        out.add(psr::psr_stream_fit(in.y, in.r, in.include, side, n_f));
        const fit::OutcomeSpread spread = fit::outcome_spread(in.y);
        const psr::StreamedStatistics both = psr::psr_stream_statistics(in.y, spread, in.r, in.include, in.exclude, eval);
        out.add(both.yhat).add(both.include).add(both.exclude);
        Vector a(t), b(t);
        for (std::size_t k = 0; k < t; ++k) {
            a[k] = 0.5 + 0.125 * static_cast<double>(k);
            b[k] = 1.0 - 0.0625 * static_cast<double>(k);
        }
        const psr::CellAdjFitWeights mix = psr::psr_stream_mix(in.r, in.include, in.exclude, eval, a, b);
        out.add(mix.include).add(mix.exclude);
        if (both.weights) {
            const psr::CellAdjFitWeights kept =
                psr::psr_stream_mix(in.r, in.include, in.exclude, eval, a, b, &*both.weights);
            out.add(kept.include).add(kept.exclude);
        }
    }
    return out;
}

struct KernelCase {
    const char* name;
    Outputs (*run)();

    friend void PrintTo(const KernelCase& k, std::ostream* os) { *os << k.name; }
};

const KernelCase kKernels[] = {
    {"rowwise_passes", rowwise_passes},
    {"gram_sums", gram_sums},
    {"include_masks", include_masks},
    {"distances", distances},
    {"order_statistics", order_statistics},
    {"histogram_shares", histogram_shares},
    {"outcome_sums", outcome_sums},
    {"weight_columns", weight_columns},
    {"solo_distributions", solo_distributions},
    {"partial_sample_weights", partial_sample_weights},
};

bool same_bits(double a, double b) {
    // IEEE 754 leaves a NaN's sign to the operand the hardware picks.
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Restores the processor's own level however a test ends.
struct ForcedLevel {
    explicit ForcedLevel(Level level) { simd::testing::force_level(level); }
    ~ForcedLevel() { simd::testing::force_level(simd::best_level()); }
};

Outputs run_at(const KernelCase& k, Level level) {
    const ForcedLevel forced(level);
    return k.run();
}

class SimdKernels : public ::testing::TestWithParam<KernelCase> {};

TEST_P(SimdKernels, EverySupportedLevelGivesThePortableBits) {
    const KernelCase& k = GetParam();
    const Outputs portable = run_at(k, Level::Portable);
    ASSERT_FALSE(portable.values.empty());
    std::size_t levels = 0;
    for (Level level : {Level::Avx2, Level::Avx512}) {
        if (!simd::supported(level)) continue;
        ++levels;
        const Outputs got = run_at(k, level);
        ASSERT_EQ(got.values.size(), portable.values.size()) << "level " << static_cast<int>(level);
        for (std::size_t i = 0; i < got.values.size(); ++i) {
            ASSERT_TRUE(same_bits(got.values[i], portable.values[i]))
                << "level " << static_cast<int>(level) << ", output " << i << ": " << got.values[i] << " vs "
                << portable.values[i];
        }
    }
    if (levels == 0) GTEST_SKIP() << "this build or processor runs only the portable kernels";
}

INSTANTIATE_TEST_SUITE_P(Kernels, SimdKernels, ::testing::ValuesIn(kKernels),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimdLevels, BestLevelIsSupportedAndEachLevelImpliesTheNarrowerOnes) {
    EXPECT_TRUE(simd::supported(Level::Portable));
    EXPECT_TRUE(simd::supported(simd::best_level()));
    EXPECT_FALSE(simd::supported(Level::Avx512) && !simd::supported(Level::Avx2));
    EXPECT_EQ(simd::current_level(), simd::best_level());
}

#ifdef QEL_SIMD_PORTABLE_ONLY
TEST(SimdLevels, PortableBuildRunsOnlyPortableCopiesAndRefusesToForceOthers) {
    EXPECT_EQ(simd::best_level(), Level::Portable);
    EXPECT_FALSE(simd::supported(Level::Avx2));
    EXPECT_FALSE(simd::supported(Level::Avx512));
    EXPECT_THROW(simd::testing::force_level(Level::Avx2), toolbox::Fault);
    EXPECT_EQ(simd::current_level(), Level::Portable);
}
#endif

}  // namespace
