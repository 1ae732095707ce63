// The generator: xoshiro256++ seeded through a PCG32 stream.
//
// Three kinds of draw: raw 64-bit words, uniform doubles in [0, 1) (one word
// each) and uniform integers below n (a widening multiply with a
// conservative rejection zone, one or more words). The exact algorithms make
// a run reproducible bit for bit from its seed. The sweeps take the same
// words in batches (words.hpp), made four generators at a time where the
// processor allows (lanes.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaly {

struct Rng {
    std::uint64_t s[4];  // state words s0..s3, never all zero
};

inline std::uint64_t rotl64(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

inline std::uint64_t next_u64(Rng& g) {
    std::uint64_t* s = g.s;
    const std::uint64_t result = rotl64(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl64(s[3], 45);
    return result;
}

// The 32-byte seed is eight PCG32 (XSH RR) outputs of a stream whose state
// starts at x, read back as little-endian words; an all-zero seed falls back
// to the first four SplitMix64 outputs from state 0.
inline Rng seed_from_u64(std::uint64_t x) {
    std::uint32_t words[8];
    for (std::uint32_t& w : words) {
        x = x * 6364136223846793005ULL + 11634580027462260723ULL;
        const std::uint32_t xorshifted = static_cast<std::uint32_t>(((x >> 18) ^ x) >> 27);
        const unsigned rot = static_cast<unsigned>(x >> 59);
        w = (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
    }
    Rng g;
    bool all_zero = true;
    for (int k = 0; k < 4; ++k) {
        g.s[k] = static_cast<std::uint64_t>(words[2 * k]) | (static_cast<std::uint64_t>(words[2 * k + 1]) << 32);
        all_zero = all_zero && g.s[k] == 0;
    }
    if (all_zero) {
        g.s[0] = 0xE220A8397B1DCDAFULL;
        g.s[1] = 0x6E789E6AA1B965F4ULL;
        g.s[2] = 0x06C45D188009454FULL;
        g.s[3] = 0xF88BB8A8724C81ECULL;
    }
    return g;
}

inline double uniform(Rng& g) { return static_cast<double>(next_u64(g) >> 11) * 0x1.0p-53; }

// Uniform integer in [0, n), n >= 1: every accepted value is exactly uniform.
inline std::size_t bounded(Rng& g, std::uint64_t n) {
    const int lz = __builtin_clzll(n);
    const std::uint64_t zone = (n << lz) - 1;
    for (;;) {
        __extension__ using u128 = unsigned __int128;
        const u128 m = static_cast<u128>(next_u64(g)) * n;
        if (static_cast<std::uint64_t>(m) <= zone) return static_cast<std::size_t>(m >> 64);
    }
}

// The generator d steps on, from the coefficients of x^d modulo the
// generator's characteristic polynomial (bit i of `poly` is the coefficient
// of x^i): the state after d steps is the sum of M^i·s over the set bits, M
// being one step. The constants below were derived from that polynomial
// (found by Berlekamp–Massey over one state bit); a test checks each
// against stepping the generator d times.
inline Rng jump(Rng g, const std::uint64_t (&poly)[4]) {
    Rng sum{{0, 0, 0, 0}};
    for (const std::uint64_t bits : poly)
        for (int b = 0; b < 64; ++b) {
            if ((bits >> b) & 1U)
                for (int k = 0; k < 4; ++k) sum.s[k] ^= g.s[k];
            (void)next_u64(g);
        }
    return sum;
}

// x^1024 and x^3072 modulo the characteristic polynomial
inline constexpr std::uint64_t jump_1024[4] = {0x060106bbbe4ff028ULL, 0x1be1d76854ddda93ULL, 0x8456faeb6230d984ULL,
                                               0x65507439cf43f0e2ULL};
inline constexpr std::uint64_t jump_3072[4] = {0x195f824bdd4cd00aULL, 0xb162081eba5f7a35ULL, 0x9fead7e44eafdb96ULL,
                                               0x3611b9c8607b74a9ULL};

}  // namespace tessaly
