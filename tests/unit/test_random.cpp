// The random sources: the ChaCha12 stream under the published test vector,
// its keying, refills and ranges, and the noise generator's keying and
// bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "toolbox/stats/random.hpp"

namespace {

namespace rnd = toolbox::stats::random;

// The keystream of ChaCha with 12 rounds under the all-zero key and nonce,
// block 0 (the published reduced-round test vector), read as 64-bit draws.
TEST(ChaCha12Stream, ZeroKeyKeystreamMatchesTheReferenceBlock) {
    rnd::ChaCha12Stream s;  // key zero, counter 0, stream 0
    const std::uint64_t w01 = s.draw64();
    // First bytes of the reference block: 9b f4 9a 6a 07 55 f9 53 ...
    EXPECT_EQ(w01, 0x53f955076a9af49bull);
    const std::uint64_t w23 = s.draw64();
    // ... 81 1f ce 12 5f 26 83 d5
    EXPECT_EQ(w23, 0xd583265f12ce1f81ull);
}

TEST(ChaCha12Stream, SeededKeyingAndRefillAcrossFourBlocks) {
    rnd::ChaCha12Stream a = rnd::ChaCha12Stream::seeded(42);
    rnd::ChaCha12Stream b = rnd::ChaCha12Stream::seeded(42);
    EXPECT_EQ(a.key, b.key);
    EXPECT_NE(a.key, rnd::ChaCha12Stream::seeded(43).key);
    // 32 draws empty one buffer of four blocks; the 33rd starts block 4.
    std::vector<std::uint64_t> da, db;
    for (int i = 0; i < 40; ++i) da.push_back(a.draw64());
    EXPECT_EQ(a.counter, 8u);
    rnd::ChaCha12Stream c = rnd::ChaCha12Stream::seeded(42);
    c.counter = 4;  // skipping the first four blocks lands on draw 32
    EXPECT_EQ(c.draw64(), da[32]);
    for (int i = 0; i < 40; ++i) db.push_back(b.draw64());
    EXPECT_EQ(da, db);
}

TEST(ChaCha12Stream, IndexInStaysInRangeAndDrawsForARangeOfOne) {
    rnd::ChaCha12Stream s = rnd::ChaCha12Stream::seeded(7);
    for (int i = 0; i < 200; ++i) {
        const std::size_t v = s.index_in(3, 10);
        EXPECT_GE(v, 3u);
        EXPECT_LT(v, 10u);
    }
    rnd::ChaCha12Stream one = rnd::ChaCha12Stream::seeded(7);
    const std::size_t before = one.pos;
    EXPECT_EQ(one.index_in(5, 6), 5u);
    EXPECT_NE(one.pos, before);
}

// Seed 0, column 0: the state starts at the column multiplier XOR the seed
// increment; a seed and a column each give their own state.
TEST(NoiseStream, KeyedFromTheSeedAndTheColumn) {
    EXPECT_EQ(rnd::NoiseStream::for_column(0, 0).state, 0x94D049BB133111EBull ^ 0xD67411C46C86742Dull);
    const std::uint64_t s1 = 0xBF58476D1CE4E5B9ull + 0xD67411C46C86742Dull;
    EXPECT_EQ(rnd::NoiseStream::for_column(1, 2).state, (3 * 0x94D049BB133111EBull) ^ s1);
    // The seed is taken as unsigned 32 bits.
    const std::uint64_t s_max = 0xFFFFFFFFull * 0xBF58476D1CE4E5B9ull + 0xD67411C46C86742Dull;
    EXPECT_EQ(rnd::NoiseStream::for_column(0xFFFFFFFFu, 0).state, 0x94D049BB133111EBull ^ s_max);
}

// A step whose top 53 bits are all ones would give exactly 1.0; it gives the
// largest double below 1 instead, and the smallest step gives 2^-53.
TEST(NoiseStream, UniformsStayInsideTheOpenInterval) {
    constexpr std::uint64_t mult = 0x5851F42D4C957F2Dull, inc = 0x14057B7EF767814Full;
    // The inverse of the odd multiplier modulo 2^64, by Newton's iteration.
    std::uint64_t inverse = mult;
    for (int i = 0; i < 6; ++i) inverse *= 2 - mult * inverse;
    ASSERT_EQ(mult * inverse, 1u);
    const auto before = [&](std::uint64_t next) { return (next - inc) * inverse; };

    rnd::NoiseStream top{before(~std::uint64_t{0})};
    EXPECT_EQ(top.uniform(), 0.9999999999999999);
    rnd::NoiseStream bottom{before(0)};
    EXPECT_EQ(bottom.uniform(), 0x1p-53);

    rnd::NoiseStream s = rnd::NoiseStream::for_column(42, 3);
    for (int i = 0; i < 1000; ++i) {
        const double u = s.uniform();
        EXPECT_GT(u, 0.0);
        EXPECT_LT(u, 1.0);
    }
}

// A normal is cos(2 pi u2) * sqrt(-2 ln u1) of the next two uniforms.
TEST(NoiseStream, NormalsAreBoxMullerOfTwoUniforms) {
    rnd::NoiseStream a = rnd::NoiseStream::for_column(7, 1);
    rnd::NoiseStream b = a;
    for (int i = 0; i < 4; ++i) {
        const double u1 = b.uniform();
        const double u2 = b.uniform();
        EXPECT_EQ(a.normal(), std::cos(6.283185307179586 * u2) * std::sqrt(-2.0 * std::log(u1)));
    }
}

}  // namespace
