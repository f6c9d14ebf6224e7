// The process-wide choice of algorithm for percentile values.
#pragma once

#include <atomic>
#include <cstdint>

namespace toolbox::stats::percentile {

enum class PercentileValueAlgorithm : std::uint8_t { FullSort = 0, OrderStatistics = 1 };

// One byte for the whole process, 0 at load. Relaxed atomic loads and stores
// are plain byte moves on x86-64; the atomic only keeps concurrent readers and
// writers well defined.
inline std::atomic<std::uint8_t> PERCENTILE_VALUE_ALGORITHM{0};

inline PercentileValueAlgorithm percentile_value_algorithm() noexcept {
    return PERCENTILE_VALUE_ALGORITHM.load(std::memory_order_relaxed) == 1 ? PercentileValueAlgorithm::OrderStatistics
                                                                           : PercentileValueAlgorithm::FullSort;
}

inline void set_percentile_value_algorithm(PercentileValueAlgorithm algorithm) noexcept {
    PERCENTILE_VALUE_ALGORITHM.store(static_cast<std::uint8_t>(algorithm), std::memory_order_relaxed);
}

}  // namespace toolbox::stats::percentile
