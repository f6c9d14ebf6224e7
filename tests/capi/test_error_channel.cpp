// The per-thread last error and the percentile-algorithm switch.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "qelcore.h"

namespace {

// The switch is process-wide: every test leaves it at full sort.
struct PercentileSwitch : ::testing::Test {
    void TearDown() override { ASSERT_EQ(qel_set_percentile_value_algorithm(0), 0); }
};

TEST_F(PercentileSwitch, StartsAtFullSort) { EXPECT_EQ(qel_get_percentile_value_algorithm(), 0); }

TEST_F(PercentileSwitch, NumericCodes) {
    struct Case {
        int32_t code;
        int32_t status;
        int32_t after;
        const char* message;
    } cases[] = {
        {1, 0, 1, ""},
        {2, 3, 1, "invalid percentile algorithm: 2 (0=full_sort, 1=order_statistics)"},
        {-1, 3, 1, "invalid percentile algorithm: -1 (0=full_sort, 1=order_statistics)"},
        {0, 0, 0, ""},
        {2147483647, 3, 0, "invalid percentile algorithm: 2147483647 (0=full_sort, 1=order_statistics)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qel_set_percentile_value_algorithm(c.code), c.status) << c.code;
        EXPECT_EQ(qel_get_percentile_value_algorithm(), c.after) << c.code;
        EXPECT_STREQ(qel_last_error(), c.message) << c.code;
    }
}

TEST_F(PercentileSwitch, Names) {
    struct Case {
        const char* text;
        int32_t status;
        int32_t after;
        const char* message;
    } cases[] = {
        {"  ORDER_Statistics \n", 0, 1, ""},
        {"FULL_SORT", 0, 0, ""},
        {"nth", 0, 1, ""},
        {"sort", 0, 0, ""},
        {"select_nth", 0, 1, ""},
        {"fullsort", 0, 0, ""},
        {"\xe3\x80\x80order_stats\xc2\xa0", 0, 1, ""},  // U+3000 and U+00A0 are white space
        {"full_sort", 0, 0, ""},
        {"order-stats", 3, 0, "invalid percentile algorithm: \"order-stats\" (use full_sort or order_statistics)"},
        {"full sort", 3, 0, "invalid percentile algorithm: \"full sort\" (use full_sort or order_statistics)"},
        {"", 3, 0, "invalid percentile algorithm: \"\" (use full_sort or order_statistics)"},
        {" Nope\t\"x\\\"\r\n", 3, 0,
         "invalid percentile algorithm: \" Nope\\t\\\"x\\\\\\\"\\r\\n\" (use full_sort or order_statistics)"},
        {"a\x01\x7f" "b", 3, 0, "invalid percentile algorithm: \"a\\u{1}\\u{7f}b\" (use full_sort or order_statistics)"},
        {"\xc3\xa9t\xc3\xa9", 3, 0, "invalid percentile algorithm: \"\xc3\xa9t\xc3\xa9\" (use full_sort or order_statistics)"},
        {"\xff" "sort", 3, 0, "algorithm string is not valid UTF-8"},
        {"\xc0\xaf", 3, 0, "algorithm string is not valid UTF-8"},  // overlong
        {"\xed\xa0\x80", 3, 0, "algorithm string is not valid UTF-8"},  // surrogate
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qel_set_percentile_value_algorithm_str(c.text), c.status) << c.text;
        EXPECT_EQ(qel_get_percentile_value_algorithm(), c.after) << c.text;
        EXPECT_STREQ(qel_last_error(), c.message) << c.text;
    }
    EXPECT_EQ(qel_set_percentile_value_algorithm_str(nullptr), 1);
    EXPECT_STREQ(qel_last_error(), "algorithm string is null");
}

TEST(LastError, EmptyOnAFreshThreadAndNeverNull) {
    std::string seen = "unset";
    std::thread([&] {
        const char* e = qel_last_error();
        seen = e ? e : "NULL";
    }).join();
    EXPECT_EQ(seen, "");
}

TEST(LastError, NonClearingCallsKeepTheMessage) {
    ASSERT_EQ(qel_set_percentile_value_algorithm(9), 3);
    const std::string before = qel_last_error();
    (void)qel_get_percentile_value_algorithm();
    (void)qel_abi_version();
    (void)qel_engine_version();
    EXPECT_EQ(before, qel_last_error());
    ASSERT_EQ(qel_set_percentile_value_algorithm(0), 0);
    EXPECT_STREQ(qel_last_error(), "");
}

TEST(LastError, EachThreadSeesOnlyItsOwnMessage) {
    constexpr int threads = 8;
    std::vector<std::string> seen(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t, &seen] {
            for (int round = 0; round < 200; ++round) {
                const int32_t code = 100 + t;  // an invalid code unique to this thread
                if (qel_set_percentile_value_algorithm(code) != 3) return;
                const std::string expected =
                    "invalid percentile algorithm: " + std::to_string(code) + " (0=full_sort, 1=order_statistics)";
                if (expected != qel_last_error()) {
                    seen[t] = qel_last_error();
                    return;
                }
            }
            seen[t] = "ok";
        });
    }
    for (auto& th : pool) th.join();
    for (int t = 0; t < threads; ++t) EXPECT_EQ(seen[t], "ok") << "thread " << t;
}

TEST(LastError, AFailureOnAnotherThreadLeavesThisOneAlone) {
    ASSERT_EQ(qel_set_percentile_value_algorithm(0), 0);
    std::thread([] { (void)qel_set_percentile_value_algorithm(42); }).join();
    EXPECT_STREQ(qel_last_error(), "");
}

}  // namespace
