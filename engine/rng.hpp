// The generator: xoshiro256++ seeded through a PCG32 stream.
//
// Three kinds of draw: raw 64-bit words, uniform doubles in [0, 1) (one word
// each) and uniform integers below n (a widening multiply with a
// conservative rejection zone, one or more words). The exact algorithms make
// a run reproducible bit for bit from its seed.
#pragma once

#include <cstddef>
#include <cstdint>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// A generator's words, made 64 at a time, for the sweeps. The stream is the
// generator's own, consumed strictly in order, so every draw reads exactly
// the words the plain draws would; only the bookkeeping differs. Along with
// the words, a refill marks which of them a bounded draw below the site count
// and below the neighbour-offset count would accept (the low half of the
// product is the wrapped product v·n), so such a draw is a bit scan instead
// of a loop whose exit is a coin toss for power-of-two ranges. A count of 0
// keeps no mask (a tile draws no sites).
struct WordBatch {
    static constexpr unsigned size = 64;
    std::uint64_t word[size];
    std::uint64_t accept_sites = 0;   // bit k: word k is accepted below n_sites
    std::uint64_t accept_offsets = 0; // bit k: word k is accepted below the offset count
    std::uint64_t live = 0;           // bit k: word k is not consumed yet
    Rng start;                        // the generator before word 0
    Rng ahead;                        // the generator after the last word
    bool filled = false;              // some words have been made
    bool sites_masked;                // a site count was given
    std::uint64_t n_sites, zone_sites;
    std::uint64_t n_offsets, zone_offsets;

    static std::uint64_t zone_of(std::uint64_t n) { return (n << __builtin_clzll(n)) - 1; }

    WordBatch(const Rng& g, std::uint64_t sites, std::uint64_t offsets)
        : start(g), ahead(g), sites_masked(sites != 0), n_sites(sites ? sites : 1), zone_sites(zone_of(n_sites)), n_offsets(offsets ? offsets : 1),
          zone_offsets(zone_of(n_offsets)) {}

    void refill() {
        start = ahead;
        Rng g = ahead;
#pragma GCC unroll 4
        for (unsigned k = 0; k < size; ++k) word[k] = next_u64(g);
        ahead = g;
        if (sites_masked) accept_sites = accepted(n_sites, zone_sites);
        accept_offsets = accepted(n_offsets, zone_offsets);
        live = ~std::uint64_t{0};
        filled = true;
    }

    // Bit k set: word k is accepted below n.
    std::uint64_t accepted(std::uint64_t n, std::uint64_t zone) const {
        std::uint64_t mask = 0;
#ifdef __SSE2__
        if ((n & (n - 1)) == 0) {
            const __m128i shift = _mm_cvtsi32_si128(__builtin_ctzll(n));
            for (unsigned k = 0; k < size; k += 2) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(word + k));
                const int top = _mm_movemask_pd(_mm_castsi128_pd(_mm_sll_epi64(v, shift)));
                mask |= static_cast<std::uint64_t>(top) << k;
            }
            return ~mask;
        }
#endif
        for (unsigned k = 0; k < size; ++k) mask |= std::uint64_t{word[k] * n <= zone} << k;
        return mask;
    }

    // Position of the first live word whose bit is set in `accept`, consuming
    // it and every word before it.
    unsigned take(const std::uint64_t& accept) {
        for (;;) {
            const std::uint64_t m = accept & live;
            if (m != 0) {
                const unsigned pos = static_cast<unsigned>(__builtin_ctzll(m));
                live = (~std::uint64_t{0} << pos) << 1;
                return pos;
            }
            refill();
        }
    }
    static std::size_t high(std::uint64_t v, std::uint64_t n) {
        __extension__ using u128 = unsigned __int128;
        return static_cast<std::size_t>((static_cast<u128>(v) * n) >> 64);
    }

    std::size_t site() { return high(word[take(accept_sites)], n_sites); }
    std::size_t offset() { return high(word[take(accept_offsets)], n_offsets); }
    std::uint64_t next() { return word[take(live)]; }
    // A bounded draw below any n, word by word as the plain draw does.
    std::size_t below(std::uint64_t n) {
        if (n == n_offsets) return offset();
        const std::uint64_t zone = zone_of(n);
        for (;;) {
            const std::uint64_t v = next();
            if (v * n <= zone) return high(v, n);
        }
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // The generator after the last consumed word.
    Rng state() const {
        Rng g = start;
        if (!filled) return g;
        const unsigned used = live == 0 ? size : static_cast<unsigned>(__builtin_ctzll(live));
        for (unsigned k = 0; k < used; ++k) (void)next_u64(g);
        return g;
    }
};

}  // namespace tessaly
