// The numeric routines keep no shared state: run from 8 threads at once they
// give every result bit for bit as a single thread does. This also fails on a
// BLAS/LAPACK build that is not safe to call concurrently.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "toolbox/enums/enums.hpp"
#include "toolbox/matrix/array.hpp"
#include "toolbox/matrix/inversion.hpp"
#include "toolbox/stats/distances.hpp"

namespace {

using toolbox::matrix::Matrix;
using toolbox::matrix::Vector;
namespace inv = toolbox::matrix::inversion;
using toolbox::enums::InversionMethod;

// Every result of one round, flattened.
struct Outcome {
    std::vector<double> values;
    void add(const double* p, std::size_t n) { values.insert(values.end(), p, p + n); }
};

struct Inputs {
    Matrix spd;
    std::vector<Matrix> x;
    Vector a, b;
    std::vector<Matrix> c;
};

Inputs make_inputs() {
    std::mt19937_64 rng(77);
    std::normal_distribution<double> nd;
    Inputs in;
    const std::size_t n = 24;
    Matrix g(n, n);
    for (double& v : g.flat()) v = nd(rng);
    in.spd = Matrix(n, n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double s = i == j ? double(n) : 0.0;
            for (std::size_t k = 0; k < n; ++k) s += g(i, k) * g(j, k);
            in.spd(i, j) = s;
        }
    in.a = Vector(40);
    in.b = Vector(40);
    for (std::size_t j = 0; j < 40; ++j) {
        in.a[j] = nd(rng);
        in.b[j] = nd(rng);
    }
    for (std::size_t K : {1u, 5u, 20u, 40u}) {
        Matrix x(700, K), c(K, K);
        for (double& v : x.flat()) v = nd(rng);
        for (double& v : c.flat()) v = nd(rng);
        in.x.push_back(std::move(x));
        in.c.push_back(std::move(c));
    }
    return in;
}

Outcome run_once(const Inputs& in) {
    Outcome out;
    for (auto method : {InversionMethod::Gaussian, InversionMethod::Cholesky, InversionMethod::Pseudoinverse}) {
        auto r = inv::inv_with_method(in.spd, method);
        EXPECT_TRUE(r.has_value());
        if (r) out.add(r->data(), r->size());
    }
    for (std::size_t s = 0; s < in.x.size(); ++s) {
        const std::size_t K = in.x[s].cols();
        const toolbox::matrix::VecView a(in.a.data(), K), b(in.b.data(), K);
        auto r = toolbox::stats::distances::mahalanobis_pair(in.x[s], a, b, in.c[s]);
        EXPECT_TRUE(r.has_value());
        if (r) {
            out.add(r->first.data(), r->first.size());
            out.add(r->second.data(), r->second.size());
        }
    }
    return out;
}

TEST(Concurrency, InversionsAndDistancesFromEightThreads) {
    const Inputs in = make_inputs();
    const Outcome reference = run_once(in);
    ASSERT_FALSE(reference.values.empty());

    constexpr int kThreads = 8;
    constexpr int kRounds = 10;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const Outcome o = run_once(in);
                if (o.values.size() != reference.values.size() ||
                    std::memcmp(o.values.data(), reference.values.data(), o.values.size() * sizeof(double)) != 0)
                    ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
