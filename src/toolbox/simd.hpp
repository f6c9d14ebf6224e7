// Kernels built for several instruction sets, and the one way of choosing
// among them.
//
// A kernel is a struct with
//     template <simd::Level L> [[gnu::always_inline]] static R run(Args...);
// whose body may pick its vector width from L, and optionally
//     static constexpr simd::Level kWidest = simd::Level::Avx512;
// for the widest level it has a copy for (Avx2 when it says nothing).
// `simd::run<Kernel>(args...)` calls the copy for the widest level the
// processor runs, no wider than the kernel's: one thin function per level,
// compiled for that instruction set, into which the body is inlined. Helpers
// the body calls must be always_inline too, or they run as baseline code.
//
// Every copy performs the same IEEE operations in the same order, lane by
// lane, so the results keep their bits whichever runs. Under a sanitizer, or
// with QEL_PORTABLE_KERNELS defined, only the portable copy is built and run.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(__SANITIZE_HWADDRESS__)
#define QEL_SIMD_PORTABLE_ONLY 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer) || \
    __has_feature(hwaddress_sanitizer) || __has_feature(dataflow_sanitizer)
#define QEL_SIMD_PORTABLE_ONLY 1
#endif
#endif
#if defined(QEL_PORTABLE_KERNELS) && !defined(QEL_SIMD_PORTABLE_ONLY)
#define QEL_SIMD_PORTABLE_ONLY 1
#endif

namespace toolbox::simd {

typedef double f64x2 __attribute__((vector_size(16)));
typedef double f64x4 __attribute__((vector_size(32)));
typedef double f64x8 __attribute__((vector_size(64)));
typedef std::int64_t i64x4 __attribute__((vector_size(32)));
typedef std::int8_t i8x4 __attribute__((vector_size(4)));

// A vector from memory with no alignment asked of it, and back.
template <class V>
[[gnu::always_inline]] inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
[[gnu::always_inline]] inline void store(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// In order of width: each level's processors also run the ones before it.
// Avx2 takes the fused multiply-adds along (every processor with AVX2 has
// them), so that a kernel's std::fma is one instruction there, not a call;
// with contraction off, the compiler fuses nothing else.
enum class Level { Portable, Avx2, Avx512 };

// The widest level this processor runs (Portable in a portable build), found
// once.
Level best_level() noexcept;

// Whether this processor runs `level` and the build has copies for it.
bool supported(Level level) noexcept;

namespace detail {

// The level `run` dispatches on: -1 until the first call settles it.
extern std::atomic<int> g_level;
Level settle_level() noexcept;

template <class K>
consteval Level widest() {
    if constexpr (requires { K::kWidest; }) {
        return K::kWidest;
    } else {
        return Level::Avx2;
    }
}

template <class K, class... A>
decltype(auto) at_portable(A&&... a) {
    return K::template run<Level::Portable>(std::forward<A>(a)...);
}

#ifndef QEL_SIMD_PORTABLE_ONLY
template <class K, class... A>
[[gnu::target("avx2,fma")]] decltype(auto) at_avx2(A&&... a) {
    return K::template run<Level::Avx2>(std::forward<A>(a)...);
}

template <class K, class... A>
[[gnu::target("avx512f,fma")]] decltype(auto) at_avx512(A&&... a) {
    return K::template run<Level::Avx512>(std::forward<A>(a)...);
}
#endif

}  // namespace detail

// The level kernels run at now.
[[gnu::always_inline]] inline Level current_level() noexcept {
    const int level = detail::g_level.load(std::memory_order_relaxed);
    return level >= 0 ? static_cast<Level>(level) : detail::settle_level();
}

// Kernel K's copy for `level`, or for its widest level below that. The
// processor must run `level` (see supported); a portable build runs the
// portable copy whatever the level.
template <class K, class... A>
[[gnu::always_inline]] inline decltype(auto) run_at([[maybe_unused]] Level level, A&&... a) {
    [[maybe_unused]] constexpr Level top = detail::widest<K>();
#ifndef QEL_SIMD_PORTABLE_ONLY
    if constexpr (top == Level::Avx512) {
        if (level == Level::Avx512) return detail::at_avx512<K>(std::forward<A>(a)...);
    }
    if constexpr (top >= Level::Avx2) {
        if (level >= Level::Avx2) return detail::at_avx2<K>(std::forward<A>(a)...);
    }
#endif
    return detail::at_portable<K>(std::forward<A>(a)...);
}

// Kernel K's copy for the current level.
template <class K, class... A>
[[gnu::always_inline]] inline decltype(auto) run(A&&... a) {
    return run_at<K>(current_level(), std::forward<A>(a)...);
}

}  // namespace toolbox::simd
