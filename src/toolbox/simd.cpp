#include "toolbox/simd.hpp"

#include "toolbox/error.hpp"
#include "toolbox/simd_testing.hpp"

namespace toolbox::simd {

namespace {

bool runs(Level level) noexcept {
#ifdef QEL_SIMD_PORTABLE_ONLY
    return level == Level::Portable;
#else
    __builtin_cpu_init();
    switch (level) {
        case Level::Portable: return true;
        case Level::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Level::Avx512: return runs(Level::Avx2) && __builtin_cpu_supports("avx512f");
    }
    return false;
#endif
}

Level detect() noexcept {
    if (runs(Level::Avx512)) return Level::Avx512;
    if (runs(Level::Avx2)) return Level::Avx2;
    return Level::Portable;
}

}  // namespace

Level best_level() noexcept {
    static const Level best = detect();
    return best;
}

bool supported(Level level) noexcept { return level <= best_level() && runs(level); }

namespace detail {

std::atomic<int> g_level{-1};

Level settle_level() noexcept {
    // A level forced in the meantime stays.
    int expected = -1;
    g_level.compare_exchange_strong(expected, static_cast<int>(best_level()), std::memory_order_relaxed);
    return static_cast<Level>(g_level.load(std::memory_order_relaxed));
}

}  // namespace detail

namespace testing {

void force_level(Level level) {
    require(supported(level), "simd: forced level is not supported here");
    detail::g_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

}  // namespace testing

}  // namespace toolbox::simd
