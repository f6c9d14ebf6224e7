// The engine's random sources, each reproducible from its seed on every
// platform: the ChaCha12 stream that draws attribute combinations, and the
// generator of the Gaussian noise that stands in for a column with missing
// values in missing-value importance.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "toolbox/error.hpp"

namespace toolbox::stats::random {

// The ChaCha stream cipher with 12 rounds as a random source: a 256-bit key,
// a 64-bit block counter and stream number 0, read four blocks at a time.
struct ChaCha12Stream {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t counter = 0;
    std::uint64_t stream = 0;
    std::array<std::uint32_t, 64> buffer{};
    std::size_t pos = 64;  // buffer empty

    // Key words from eight PCG (XSH-RR) steps of the seed.
    static ChaCha12Stream seeded(std::uint64_t seed);
    // Key from 32 bytes of operating-system entropy. A failing source is an
    // internal fault, with the operating system's error.
    static Result<ChaCha12Stream> from_os_entropy();

    std::uint64_t draw64();
    // Uniform in [lo, hi) by widening multiplication with rejection (lo < hi).
    std::size_t index_in(std::size_t lo, std::size_t hi);
};

// The noise generator of one column: a 64-bit linear congruential state
// keyed from the run's seed and the column's index, its uniforms the top 53
// bits of each step, its normals by the Box-Muller transform.
struct NoiseStream {
    std::uint64_t state = 0;

    static NoiseStream for_column(std::uint32_t seed, std::uint64_t column);

    // One step, as a uniform in (0, 1).
    double uniform();
    // cos(2 pi u2) * sqrt(-2 ln u1) of two uniforms, u1 drawn first.
    double normal();
};

}  // namespace toolbox::stats::random
