#include "toolbox/stats/random.hpp"

#include <sys/random.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "toolbox/format.hpp"

namespace toolbox::stats::random {

namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};  // "expand 32-byte k"

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

void chacha12_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint64_t stream,
                    std::uint32_t* out) {
    std::uint32_t in[16];
    for (int i = 0; i < 4; ++i) in[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) in[4 + i] = key[static_cast<std::size_t>(i)];
    in[12] = static_cast<std::uint32_t>(counter);
    in[13] = static_cast<std::uint32_t>(counter >> 32);
    in[14] = static_cast<std::uint32_t>(stream);
    in[15] = static_cast<std::uint32_t>(stream >> 32);
    std::uint32_t x[16];
    std::memcpy(x, in, sizeof x);
    for (int r = 0; r < 6; ++r) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

// The noise generator's constants.
constexpr std::uint64_t kSeedMultiplier = 0xBF58476D1CE4E5B9ull;
constexpr std::uint64_t kSeedIncrement = 0xD67411C46C86742Dull;
constexpr std::uint64_t kColumnMultiplier = 0x94D049BB133111EBull;
constexpr std::uint64_t kStepMultiplier = 0x5851F42D4C957F2Dull;
constexpr std::uint64_t kStepIncrement = 0x14057B7EF767814Full;
const double kUniformScale = std::bit_cast<double>(0x3CA0000000000000ull);  // 2^-53
const double kUpperCap = std::bit_cast<double>(0x3FEFFFFFFFFFFFFFull);      // 0.9999999999999999
const double kTwoPi = std::bit_cast<double>(0x401921FB54442D18ull);
const double kMinusTwo = std::bit_cast<double>(0xC000000000000000ull);

}  // namespace

ChaCha12Stream ChaCha12Stream::seeded(std::uint64_t seed) {
    ChaCha12Stream s;
    std::uint64_t state = seed;
    for (std::size_t w = 0; w < 8; ++w) {
        state = state * 6364136223846793005ull + 11634580027462260723ull;
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto rot = static_cast<int>(state >> 59);
        s.key[w] = std::rotr(xorshifted, rot);
    }
    return s;
}

Result<ChaCha12Stream> ChaCha12Stream::from_os_entropy() {
    unsigned char bytes[32];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t r = getrandom(bytes + got, sizeof bytes - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return internal_fault(format("operating-system entropy unavailable: {}", std::strerror(errno)));
        }
        got += static_cast<std::size_t>(r);
    }
    ChaCha12Stream s;
    for (std::size_t w = 0; w < 8; ++w) {
        s.key[w] = static_cast<std::uint32_t>(bytes[4 * w]) | static_cast<std::uint32_t>(bytes[4 * w + 1]) << 8 |
                   static_cast<std::uint32_t>(bytes[4 * w + 2]) << 16 |
                   static_cast<std::uint32_t>(bytes[4 * w + 3]) << 24;
    }
    return s;
}

std::uint64_t ChaCha12Stream::draw64() {
    // Draws are always 64 bits wide and the buffer holds an even number of
    // words, so a pair never straddles a refill.
    if (pos >= 64) {
        for (std::uint64_t b = 0; b < 4; ++b) chacha12_block(key, counter + b, stream, buffer.data() + 16 * b);
        counter += 4;
        pos = 0;
    }
    const std::uint64_t lo = buffer[pos];
    const std::uint64_t hi = buffer[pos + 1];
    pos += 2;
    return lo | (hi << 32);
}

std::size_t ChaCha12Stream::index_in(std::size_t lo, std::size_t hi) {
    require(lo < hi, "index_in needs lo < hi");
    const std::uint64_t r = static_cast<std::uint64_t>(hi - lo);
    const std::uint64_t zone = (r << std::countl_zero(r)) - 1;
    for (;;) {
        const unsigned __int128 m = static_cast<unsigned __int128>(draw64()) * r;
        if (static_cast<std::uint64_t>(m) <= zone) return lo + static_cast<std::size_t>(m >> 64);
    }
}

NoiseStream NoiseStream::for_column(std::uint32_t seed, std::uint64_t column) {
    const std::uint64_t s0 = static_cast<std::uint64_t>(seed) * kSeedMultiplier + kSeedIncrement;
    return NoiseStream{((column + 1) * kColumnMultiplier) ^ s0};
}

double NoiseStream::uniform() {
    state = state * kStepMultiplier + kStepIncrement;
    double u = static_cast<double>((state >> 11) + 1) * kUniformScale;
    if (u >= 1.0) u = kUpperCap;
    if (u <= 0.0) u = kUniformScale;
    return u;
}

double NoiseStream::normal() {
    const double u1 = uniform();
    const double u2 = uniform();
    return std::cos(kTwoPi * u2) * std::sqrt(kMinusTwo * std::log(u1));
}

}  // namespace toolbox::stats::random
