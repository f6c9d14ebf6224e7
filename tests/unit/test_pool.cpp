// The worker pool: joins, splits and folds give the results of a plain loop,
// in job order, from any thread and at any depth of nesting, and a fault in
// any part reaches the caller after every part has finished.
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ffi/error.hpp"
#include "toolbox/error.hpp"
#include "toolbox/parallel/pool.hpp"

namespace {

namespace par = toolbox::parallel;

TEST(WorkerPool, SizedToTheProcessorsOfTheProcess) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
    EXPECT_EQ(par::worker_count(), std::size_t(CPU_COUNT(&set)));
}

TEST(WorkerPool, JoinRunsBothHalves) {
    int a = 0, b = 0;
    par::join([&] { a = 1; }, [&] { b = 2; });
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
}

// The second half is offered to the workers, not merely run after the first:
// here the first half cannot finish until the second has started.
TEST(WorkerPool, SecondHalfRunsWhileTheFirstWaits) {
    if (par::worker_count() == 0) GTEST_SKIP() << "no worker threads";
    std::mutex m;
    std::condition_variable cv;
    bool started = false;
    bool seen = false;
    par::join(
        [&] {
            std::unique_lock<std::mutex> hold(m);
            // A guard against hanging the suite, not a timing check.
            seen = cv.wait_for(hold, std::chrono::seconds(30), [&] { return started; });
        },
        [&] {
            std::lock_guard<std::mutex> hold(m);
            started = true;
            cv.notify_all();
        });
    EXPECT_TRUE(seen);
}

std::uint64_t fib(int n) {
    if (n < 2) return std::uint64_t(n);
    std::uint64_t x = 0, y = 0;
    par::join([&] { x = fib(n - 1); }, [&] { y = fib(n - 2); });
    return x + y;
}

TEST(WorkerPool, DeeplyNestedJoins) { EXPECT_EQ(fib(22), 17711u); }

TEST(WorkerPool, ParallelForVisitsEveryIndexOnce) {
    struct Case {
        std::size_t begin, end, grain;
    } cases[] = {{0, 0, 4}, {5, 5, 1}, {7, 3, 1}, {0, 1, 1}, {0, 1000, 1},
                 {3, 1003, 7}, {0, 999, 0}, {10, 20, 100}};
    for (const Case& c : cases) {
        std::vector<std::atomic<int>> hits(c.end > c.begin ? c.end : 1);
        par::parallel_for(c.begin, c.end, c.grain, [&](std::size_t i) { hits[i].fetch_add(1); });
        for (std::size_t i = 0; i < hits.size(); ++i) {
            const int want = i >= c.begin && i < c.end ? 1 : 0;
            ASSERT_EQ(hits[i].load(), want) << c.begin << ".." << c.end << " grain " << c.grain
                                            << " index " << i;
        }
    }
}

TEST(WorkerPool, ParallelForNestedInsideParallelFor) {
    std::vector<std::vector<int>> grid(40, std::vector<int>(50, 0));
    par::parallel_for(0, 40, 1, [&](std::size_t i) {
        par::parallel_for(0, 50, 3, [&](std::size_t j) { grid[i][j] = int(i * 100 + j); });
    });
    for (std::size_t i = 0; i < 40; ++i)
        for (std::size_t j = 0; j < 50; ++j) ASSERT_EQ(grid[i][j], int(i * 100 + j));
}

// Folding into lists and appending on merge shows the exact job order the
// merges follow.
std::vector<std::size_t> ordered_jobs(std::size_t begin, std::size_t end, std::size_t grain) {
    return par::parallel_fold(
        begin, end, grain, [] { return std::vector<std::size_t>{}; },
        [](std::vector<std::size_t>& acc, std::size_t i) { acc.push_back(i); },
        [](std::vector<std::size_t> left, std::vector<std::size_t> right) {
            left.insert(left.end(), right.begin(), right.end());
            return left;
        });
}

TEST(WorkerPool, FoldMergesInJobOrder) {
    struct Case {
        std::size_t begin, end, grain;
    } cases[] = {{0, 0, 3}, {4, 2, 1}, {0, 1, 1}, {0, 2, 1}, {0, 777, 1},
                 {11, 512, 5}, {0, 64, 64}, {0, 65, 64}, {0, 300, 0}};
    for (const Case& c : cases) {
        std::vector<std::size_t> want;
        for (std::size_t i = c.begin; i < c.end; ++i) want.push_back(i);
        EXPECT_EQ(ordered_jobs(c.begin, c.end, c.grain), want)
            << c.begin << ".." << c.end << " grain " << c.grain;
    }
}

// A floating-point sum depends on the merge tree only: the same range and
// grain give the same bits on every run.
TEST(WorkerPool, FoldIsReproducibleBitForBit) {
    auto sum = [] {
        return par::parallel_fold(
            0, 5000, 13, [] { return 0.0; },
            [](double& acc, std::size_t i) { acc += 1.0 / double(i * 7 + 3); },
            [](double l, double r) { return l + r; });
    };
    const double first = sum();
    for (int round = 0; round < 20; ++round) ASSERT_EQ(sum(), first);
}

TEST(WorkerPool, FoldNestedInsideFoldJobs) {
    const auto outer = par::parallel_fold(
        0, 30, 2, [] { return std::vector<std::size_t>{}; },
        [](std::vector<std::size_t>& acc, std::size_t i) {
            const auto inner = ordered_jobs(0, i, 3);
            acc.push_back(std::accumulate(inner.begin(), inner.end(), std::size_t(0)));
        },
        [](std::vector<std::size_t> l, std::vector<std::size_t> r) {
            l.insert(l.end(), r.begin(), r.end());
            return l;
        });
    ASSERT_EQ(outer.size(), 30u);
    for (std::size_t i = 0; i < 30; ++i) EXPECT_EQ(outer[i], i * (i == 0 ? 0 : i - 1) / 2);
}

std::string fault_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const toolbox::Fault& e) {
        return e.text().value_or("<none>");
    }
    return "<no fault>";
}

TEST(WorkerPool, FaultsReachTheCallerAfterBothHalvesFinished) {
    struct Case {
        const char* name;
        bool throw_a, throw_b;
        const char* want;
    } cases[] = {
        {"first", true, false, "a failed"},
        {"second", false, true, "b failed"},
        {"both: the first half's", true, true, "a failed"},
    };
    for (const Case& c : cases) {
        std::atomic<int> finished{0};
        const std::string got = fault_text([&] {
            par::join(
                [&] {
                    std::this_thread::yield();
                    finished.fetch_add(1);
                    if (c.throw_a) toolbox::fault("a failed");
                },
                [&] {
                    std::this_thread::yield();
                    finished.fetch_add(1);
                    if (c.throw_b) toolbox::fault("b failed");
                });
        });
        EXPECT_EQ(got, c.want) << c.name;
        EXPECT_EQ(finished.load(), 2) << c.name;
    }
}

TEST(WorkerPool, FaultDeepInsideNestedSplitsPropagates) {
    EXPECT_EQ(fault_text([] {
                  par::parallel_for(0, 200, 1, [](std::size_t i) {
                      par::parallel_for(0, 20, 1, [i](std::size_t j) {
                          if (i == 137 && j == 11) toolbox::fault("job 137/11");
                      });
                  });
              }),
              "job 137/11");
    // Other exception types pass through unchanged.
    EXPECT_THROW(par::parallel_fold(
                     0, 100, 1, [] { return 0; },
                     [](int&, std::size_t i) {
                         if (i == 99) throw std::bad_alloc();
                     },
                     [](int l, int r) { return l + r; }),
                 std::bad_alloc);
    // The pool is still usable afterwards.
    EXPECT_EQ(ordered_jobs(0, 50, 1).size(), 50u);
}

// A fault raised on a worker reaches the boundary guard of the calling
// thread as the engine's fault, with its text.
TEST(WorkerPool, BoundaryGuardSeesAFaultRaisedInATask) {
    const int32_t status = ffi::error::guard("qel_x", "ctx", ffi::error::FaultMessage::WithPayload, []() -> int32_t {
        par::parallel_for(0, 64, 1, [](std::size_t i) {
            if (i == 63) toolbox::fault("raised in a task");
        });
        return 0;
    });
    EXPECT_EQ(status, 5);
    EXPECT_STREQ(ffi::error::last_error(), "ctx: raised in a task");
}

TEST(WorkerPool, ManyOutsideThreadsAtOnce) {
    constexpr int kThreads = 12;
    std::vector<std::thread> threads;
    std::vector<int> ok(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ok] {
            bool good = true;
            for (int round = 0; round < 5; ++round) {
                const std::size_t n = std::size_t(200 + 37 * t + round);
                const auto jobs = ordered_jobs(0, n, std::size_t(1 + t % 4));
                good = good && jobs.size() == n;
                for (std::size_t i = 0; good && i < n; ++i) good = jobs[i] == i;
                // Every third thread also fails some of its runs.
                if (t % 3 == 0) {
                    good = good && fault_text([&] {
                                       par::parallel_for(0, n, 2, [&](std::size_t i) {
                                           if (i == n / 2) toolbox::fault("mid");
                                       });
                                   }) == "mid";
                }
                good = good && fib(12) == 144u;
            }
            ok[std::size_t(t)] = good ? 1 : 0;
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ok[std::size_t(t)], 1) << "thread " << t;
}

}  // namespace
