// Squared Mahalanobis distances: the dimension checks, the small-K rules, and
// the vectorised and blocked paths against a plain per-row loop.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "toolbox/matrix/array.hpp"
#include "toolbox/stats/distances.hpp"
#include "toolbox/stats/distances_kernels.hpp"

namespace {

using toolbox::matrix::MatView;
using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
using toolbox::matrix::VecView;
namespace dist = toolbox::stats::distances;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// The per-row arithmetic in its defining order, one row at a time.
double row_reference(MatView x, std::size_t i, VecView m, MatView c) {
    const std::size_t K = x.cols();
    std::vector<double> d(K);
    for (std::size_t k = 0; k < K; ++k) d[k] = x(i, k) - m[k];
    double s = 0.0;
    for (std::size_t j = 0; j < K; ++j) {
        double t = 0.0;
        for (std::size_t k = 0; k < K; ++k) t += d[k] * c(k, j);
        s += t * d[j];
    }
    return s;
}

struct Data {
    Matrix x;
    Vector a, b;
    Matrix c;
};

Data random_data(std::size_t n, std::size_t k, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> nd;
    Data d{Matrix(n, k), Vector(k), Vector(k), Matrix(k, k)};
    for (double& v : d.x.flat()) v = nd(rng);
    for (double& v : d.a) v = nd(rng);
    for (double& v : d.b) v = nd(rng);
    // Not symmetric on purpose: the index order of C must be the defined one.
    for (double& v : d.c.flat()) v = nd(rng);
    return d;
}

TEST(Distances, DimensionMismatchTexts) {
    const Matrix x(3, 2);
    const Vector v2(2), v3(3);
    const Matrix c2(2, 2), c3(3, 3), c23(2, 3);
    const std::string m_text = "Dimension mismatch between x columns and mean vector.";
    const std::string r_text = "Dimension mismatch between x, mean, and cov_inv.";
    const std::string p_text = "Dimension mismatch between x columns and center vectors.";

    struct Case {
        const char* name;
        toolbox::Result<Vector> result;
        std::string text;
    } cases[] = {
        {"mean too long", dist::mahalanobis(x, v3, c2), m_text},
        {"C of the wrong size", dist::mahalanobis(x, v2, c3), m_text},
        {"C not square", dist::mahalanobis(x, v2, c23), m_text},
        {"row: mean too long", dist::mahalanobis_row(v2, v3, c2), r_text},
        {"row: C of the wrong size", dist::mahalanobis_row(v2, v2, c3), r_text},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.result.has_value()) << c.name;
        EXPECT_EQ(c.result.error().message, c.text) << c.name;
    }

    struct PairCase {
        const char* name;
        VecView a, b;
        MatView c;
    } pair_cases[] = {
        {"centre a too long", v3, v2, c2},
        {"centre b too long", v2, v3, c2},
        {"C of the wrong size", v2, v2, c3},
        {"C not square", v2, v2, c23},
    };
    for (const auto& c : pair_cases) {
        auto r = dist::mahalanobis_pair(x, c.a, c.b, c.c);
        ASSERT_FALSE(r.has_value()) << c.name;
        EXPECT_EQ(r.error().message, p_text) << c.name;
    }
}

TEST(Distances, SmallExamples) {
    const Matrix x{{1, 2}, {3, 4}};
    const Vector mean{2, 3};
    const Matrix eye{{1, 0}, {0, 1}};
    auto m = dist::mahalanobis(x, mean, eye);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ((*m)[0], 2.0);
    EXPECT_EQ((*m)[1], 2.0);

    // K = 1: every routine gives 2.0.
    const Matrix x1{{3}};
    const Vector m1{1}, zero1{0};
    const Matrix c1{{0.5}};
    EXPECT_EQ((*dist::mahalanobis(x1, m1, c1))[0], 2.0);
    EXPECT_EQ((*dist::mahalanobis_row(Vector{3}, m1, c1))[0], 2.0);
    auto p1 = dist::mahalanobis_pair(x1, m1, zero1, c1);
    ASSERT_TRUE(p1.has_value());
    EXPECT_EQ(p1->first[0], 2.0);
    EXPECT_EQ(p1->second[0], 4.5);

    // No attributes: N zeros, and a single empty vector gives [0.0].
    const Matrix x0(4, 0);
    const Vector e;
    const Matrix c0(0, 0);
    auto z = dist::mahalanobis(x0, e, c0);
    ASSERT_EQ(z->size(), 4u);
    for (double v : *z) EXPECT_EQ(v, 0.0);
    auto zp = dist::mahalanobis_pair(x0, e, e, c0);
    ASSERT_EQ(zp->first.size(), 4u);
    ASSERT_EQ(zp->second.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(zp->first[i] + zp->second[i], 0.0);
    auto zr = dist::mahalanobis_row(e, e, c0);
    ASSERT_EQ(zr->size(), 1u);
    EXPECT_EQ((*zr)[0], 0.0);
}

TEST(Distances, SingleAttributeShortcutVersusRowFormula) {
    // K = 1: the matrix routines square the difference first, the one-vector
    // routine multiplies by C first; the two roundings differ on this input.
    const double x = 0.1, m = 0.7, c = 3.3;
    const double d = x - m;
    ASSERT_NE((d * d) * c, (d * c) * d);
    const Matrix xm{{x}};
    const Vector mv{m};
    const Matrix cm{{c}};
    EXPECT_TRUE(same_bits((*dist::mahalanobis(xm, mv, cm))[0], (d * d) * c));
    EXPECT_TRUE(same_bits(dist::mahalanobis_pair(xm, mv, mv, cm)->second[0], (d * d) * c));
    EXPECT_TRUE(same_bits((*dist::mahalanobis_row(Vector{x}, mv, cm))[0], (d * c) * d));
}

// For every K >= 2 each row is computed in the defining order, whichever
// vector width serves it: the results equal the plain loop bit for bit, also
// in the last, partial set of rows, and the pair equals two single calls.
TEST(Distances, RowLoopMatchesReferenceBitForBit) {
    for (std::size_t K : {2u, 3u, 4u, 5u, 7u, 8u, 13u, 20u, 31u, 32u, 33u, 47u}) {
        for (std::size_t N : {1u, 7u, 37u}) {
            const Data d = random_data(N, K, 100 * K + N);
            auto single = dist::mahalanobis(d.x, d.a, d.c);
            auto pair = dist::mahalanobis_pair(d.x, d.a, d.b, d.c);
            ASSERT_TRUE(single.has_value());
            ASSERT_TRUE(pair.has_value());
            for (std::size_t i = 0; i < N; ++i) {
                const double ra = row_reference(d.x, i, d.a, d.c);
                const double rb = row_reference(d.x, i, d.b, d.c);
                ASSERT_TRUE(same_bits((*single)[i], ra)) << "K=" << K << " N=" << N << " row " << i;
                ASSERT_TRUE(same_bits(pair->first[i], ra)) << "K=" << K << " N=" << N << " row " << i;
                ASSERT_TRUE(same_bits(pair->second[i], rb)) << "K=" << K << " N=" << N << " row " << i;
            }
        }
    }
}

// Each instruction-set kernel this processor runs, not only the one the
// routines pick, gives the per-row arithmetic bit for bit.
TEST(Distances, EveryRowKernelMatchesReference) {
    using toolbox::simd::Level;
    for (Level isa : {Level::Portable, Level::Avx2, Level::Avx512}) {
        if (!toolbox::simd::supported(isa)) continue;
        for (std::size_t K : {2u, 5u, 9u, 32u, 33u, 64u}) {
            const std::size_t N = 19;
            const Data d = random_data(N, K, K);
            Vector to_a(N), to_b(N), single(N);
            dist::detail::row_distances(isa, d.x, d.a.data(), d.b.data(), d.c, to_a.data(), to_b.data());
            dist::detail::row_distances(isa, d.x, d.a.data(), nullptr, d.c, single.data(), nullptr);
            for (std::size_t i = 0; i < N; ++i) {
                const double ra = row_reference(d.x, i, d.a, d.c);
                ASSERT_TRUE(same_bits(to_a[i], ra)) << "isa " << int(isa) << " K=" << K << " row " << i;
                ASSERT_TRUE(same_bits(single[i], ra)) << "isa " << int(isa) << " K=" << K << " row " << i;
                ASSERT_TRUE(same_bits(to_b[i], row_reference(d.x, i, d.b, d.c)))
                    << "isa " << int(isa) << " K=" << K << " row " << i;
            }
        }
    }
}

TEST(Distances, RowLoopReadsRowsAndInverseInPlace) {
    // x and C as views into wider matrices (rows lie apart in memory).
    const std::size_t N = 11, K = 6;
    const Data d = random_data(N, K, 3);
    Matrix wide_x(N, K + 2, kNaN), wide_c(K, K + 5, kNaN);
    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = 0; j < K; ++j) wide_x(i, j) = d.x(i, j);
    for (std::size_t i = 0; i < K; ++i)
        for (std::size_t j = 0; j < K; ++j) wide_c(i, j) = d.c(i, j);
    const MatView x(wide_x.data(), N, K, K + 2), c(wide_c.data(), K, K, K + 5);
    auto pair = dist::mahalanobis_pair(x, d.a, d.b, c);
    auto single = dist::mahalanobis(x, d.a, c);
    ASSERT_TRUE(pair.has_value());
    ASSERT_TRUE(single.has_value());
    for (std::size_t i = 0; i < N; ++i) {
        EXPECT_TRUE(same_bits(pair->first[i], row_reference(d.x, i, d.a, d.c))) << i;
        EXPECT_TRUE(same_bits(pair->second[i], row_reference(d.x, i, d.b, d.c))) << i;
        EXPECT_TRUE(same_bits((*single)[i], row_reference(d.x, i, d.a, d.c))) << i;
    }
}

TEST(Distances, OneVectorMatchesRowFormula) {
    const Data d = random_data(1, 9, 7);
    auto r = dist::mahalanobis_row(Vector::from(d.x.row(0)), d.a, d.c);
    ASSERT_TRUE(r.has_value());
    // t_i = sum_j d_j C_ji, then sum_i t_i d_i: the same order as the matrix rows.
    EXPECT_TRUE(same_bits((*r)[0], row_reference(d.x, 0, d.a, d.c)));
}

// K >= 33 runs blocks of 256 rows through a matrix product in the per-row
// order, so it gives the per-row formula's bits (whatever any BLAS would do
// with its threads), including the short last block (600 = 256 + 256 + 88)
// and a view whose rows lie apart in memory.
TEST(Distances, BlockedAgreesWithPerRowLoop) {
    for (std::size_t K : {33u, 40u}) {
        const std::size_t N = 600;
        const Data d = random_data(N, K, K);
        // The same rows inside a wider matrix.
        Matrix wide(N, K + 3, kNaN);
        for (std::size_t i = 0; i < N; ++i)
            for (std::size_t j = 0; j < K; ++j) wide(i, j) = d.x(i, j);
        const MatView strided(wide.data(), N, K, K + 3);

        auto single = dist::mahalanobis(d.x, d.a, d.c);
        auto pair = dist::mahalanobis_pair(strided, d.a, d.b, d.c);
        ASSERT_TRUE(single.has_value());
        ASSERT_TRUE(pair.has_value());
        for (std::size_t i = 0; i < N; ++i) {
            const double ra = row_reference(d.x, i, d.a, d.c);
            const double rb = row_reference(d.x, i, d.b, d.c);
            ASSERT_TRUE(same_bits((*single)[i], ra)) << "K=" << K << " row " << i;
            ASSERT_TRUE(same_bits(pair->second[i], rb)) << "K=" << K << " row " << i;
            // The pair is the single routine to each centre.
            ASSERT_TRUE(same_bits(pair->first[i], (*single)[i])) << "K=" << K << " row " << i;
        }
    }
}

TEST(Distances, NaNStaysInItsRow) {
    for (std::size_t K : {1u, 3u, 40u}) {
        Data d = random_data(20, K, 5);
        d.x(11, K - 1) = kNaN;
        auto pair = dist::mahalanobis_pair(d.x, d.a, d.b, d.c);
        ASSERT_TRUE(pair.has_value());
        for (std::size_t i = 0; i < 20; ++i) {
            EXPECT_EQ(std::isnan(pair->first[i]), i == 11) << "K=" << K << " row " << i;
            EXPECT_EQ(std::isnan(pair->second[i]), i == 11) << "K=" << K << " row " << i;
        }
    }
}

}  // namespace
