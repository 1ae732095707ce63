// The generator: xoshiro256++ seeded through a PCG32 stream.
//
// Three kinds of draw: raw 64-bit words, uniform doubles in [0, 1) (one word
// each) and uniform integers below n (a widening multiply with a
// conservative rejection zone, one or more words). The exact algorithms make
// a run reproducible bit for bit from its seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
// The sweeps' copies for AVX2, BMI and AVX-512 (chosen at run time); a
// build with TESSALY_NO_WIDE_WORDS leaves them out, as on other processors.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(TESSALY_NO_WIDE_WORDS)
#include <immintrin.h>
#define TESSALY_WIDE_WORDS 1
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

// Bit k set: word k of the 64 is accepted by a bounded draw below n, whose
// rejection zone is `zone` (the low half of the widening product is the
// wrapped product v·n; for a power of two that is a shift, tested two words
// at a time).
inline std::uint64_t accepted_words(const std::uint64_t* word, std::uint64_t n, std::uint64_t zone) {
    std::uint64_t mask = 0;
#ifdef __SSE2__
    if ((n & (n - 1)) == 0) {
        const __m128i shift = _mm_cvtsi32_si128(__builtin_ctzll(n));
        for (unsigned k = 0; k < 64; k += 2) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(word + k));
            const int top = _mm_movemask_pd(_mm_castsi128_pd(_mm_sll_epi64(v, shift)));
            mask |= static_cast<std::uint64_t>(top) << k;
        }
        return ~mask;
    }
#endif
    for (unsigned k = 0; k < 64; ++k) mask |= std::uint64_t{word[k] * n <= zone} << k;
    return mask;
}

#ifdef TESSALY_WIDE_WORDS
// ---- four generators side by side ----

// Four generators in the lanes of AVX2 registers: state word k of lane j is
// state[k][j]. Each lane runs its own generator; the words are exactly those
// of four plain generators.
using LaneStates = std::uint64_t[4][4];

namespace lanes {

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i load(const std::uint64_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Four 64-bit lanes as a plain vector type: the code below uses only
// operators, so each copy is compiled with the instructions of the function
// it is inlined into (with AVX-512 the compiler merges the exclusive-ors and
// rotations of a step).
typedef std::uint64_t Lanes4 __attribute__((vector_size(32)));

// Makes `count` words (a multiple of 4) of each lane into out[j], and jumps
// every lane by `poly` afterwards (nullptr: no jump).
[[gnu::always_inline]] inline void make_words(LaneStates& state, std::uint64_t* const (&out)[4], unsigned count,
                                              const std::uint64_t (*poly)[4]) {
    Lanes4 s0, s1, s2, s3;
    std::memcpy(&s0, state[0], sizeof s0);
    std::memcpy(&s1, state[1], sizeof s1);
    std::memcpy(&s2, state[2], sizeof s2);
    std::memcpy(&s3, state[3], sizeof s3);
    // one step: s0' = s0^s1^s3, s1' = s0^s1^s2, s2' = s0^s2^(s1<<17), s3' = rotl(s1^s3, 45)
    const auto advance = [&]() __attribute__((always_inline)) {
        const Lanes4 t = s1 << 17;
        s2 ^= s0;
        s3 ^= s1;
        s1 ^= s2;
        s0 ^= s3;
        s2 ^= t;
        s3 = (s3 << 45) | (s3 >> 19);
    };
    for (unsigned t = 0; t < count; t += 4) {
        Lanes4 r[4];
        for (unsigned k = 0; k < 4; ++k) {
            const Lanes4 sum = s0 + s3;
            r[k] = ((sum << 23) | (sum >> 41)) + s0;
            advance();
        }
        // r[k] holds step t + k of the four lanes; each lane's four go in a row
        const Lanes4 a0 = __builtin_shufflevector(r[0], r[1], 0, 4, 2, 6);
        const Lanes4 a1 = __builtin_shufflevector(r[0], r[1], 1, 5, 3, 7);
        const Lanes4 a2 = __builtin_shufflevector(r[2], r[3], 0, 4, 2, 6);
        const Lanes4 a3 = __builtin_shufflevector(r[2], r[3], 1, 5, 3, 7);
        const Lanes4 lane0 = __builtin_shufflevector(a0, a2, 0, 1, 4, 5);
        const Lanes4 lane1 = __builtin_shufflevector(a1, a3, 0, 1, 4, 5);
        const Lanes4 lane2 = __builtin_shufflevector(a0, a2, 2, 3, 6, 7);
        const Lanes4 lane3 = __builtin_shufflevector(a1, a3, 2, 3, 6, 7);
        std::memcpy(out[0] + t, &lane0, sizeof lane0);
        std::memcpy(out[1] + t, &lane1, sizeof lane1);
        std::memcpy(out[2] + t, &lane2, sizeof lane2);
        std::memcpy(out[3] + t, &lane3, sizeof lane3);
    }
    if (poly != nullptr) {
        Lanes4 j0 = {0, 0, 0, 0}, j1 = j0, j2 = j0, j3 = j0;
        for (const std::uint64_t bits : *poly)
            for (int b = 0; b < 64; ++b) {
                if ((bits >> b) & 1U) {
                    j0 ^= s0;
                    j1 ^= s1;
                    j2 ^= s2;
                    j3 ^= s3;
                }
                advance();
            }
        s0 = j0;
        s1 = j1;
        s2 = j2;
        s3 = j3;
    }
    std::memcpy(state[0], &s0, sizeof s0);
    std::memcpy(state[1], &s1, sizeof s1);
    std::memcpy(state[2], &s2, sizeof s2);
    std::memcpy(state[3], &s3, sizeof s3);
}

[[gnu::target("avx2")]] inline void make_avx2(LaneStates& state, std::uint64_t* const (&out)[4], unsigned count,
                                              const std::uint64_t (*poly)[4]) {
    make_words(state, out, count, poly);
}

[[gnu::target("avx2,avx512f,avx512vl")]] inline void make_avx512(LaneStates& state, std::uint64_t* const (&out)[4],
                                                                 unsigned count, const std::uint64_t (*poly)[4]) {
    make_words(state, out, count, poly);
}

// Bit k set: word k of the 64 at w is accepted below n (zone: its rejection zone).
[[gnu::target("avx2"), gnu::always_inline]] inline std::uint64_t accepted_avx2(const std::uint64_t* w, std::uint64_t n,
                                                                              std::uint64_t zone) {
    std::uint64_t mask = 0;
    if ((n & (n - 1)) == 0) {
        const __m128i shift = _mm_cvtsi32_si128(__builtin_ctzll(n));
        for (unsigned k = 0; k < 64; k += 4) {
            const int top = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_sll_epi64(load(w + k), shift)));
            mask |= static_cast<std::uint64_t>(top) << k;
        }
        return ~mask;
    }
    for (unsigned k = 0; k < 64; ++k) mask |= std::uint64_t{w[k] * n <= zone} << k;
    return mask;
}

// The same eight words at a time, the product included for other counts.
[[gnu::target("avx512f,avx512dq"), gnu::always_inline]] inline std::uint64_t accepted_avx512(const std::uint64_t* w,
                                                                                           std::uint64_t n,
                                                                                           std::uint64_t zone) {
    std::uint64_t mask = 0;
    if ((n & (n - 1)) == 0) {
        // accepted: the bit that the product shifts to the top is clear
        const __m512i bit = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << (63 - __builtin_ctzll(n))));
        for (unsigned k = 0; k < 64; k += 8)
            mask |= std::uint64_t{_mm512_testn_epi64_mask(_mm512_loadu_si512(w + k), bit)} << k;
    } else {
        const __m512i factor = _mm512_set1_epi64(static_cast<long long>(n));
        const __m512i limit = _mm512_set1_epi64(static_cast<long long>(zone));
        for (unsigned k = 0; k < 64; k += 8)
            mask |= std::uint64_t{_mm512_cmple_epu64_mask(_mm512_mullo_epi64(_mm512_loadu_si512(w + k), factor), limit)}
                    << k;
    }
    return mask;
}

[[gnu::target("avx2")]] inline void masks_avx2(const std::uint64_t* w, unsigned batches, std::uint64_t n,
                                               std::uint64_t zone, std::uint64_t* out) {
    for (unsigned c = 0; c < batches; ++c) out[c] = n != 0 ? accepted_avx2(w + 64 * c, n, zone) : 0;
}

[[gnu::target("avx512f,avx512dq")]] inline void masks_avx512(const std::uint64_t* w, unsigned batches, std::uint64_t n,
                                                             std::uint64_t zone, std::uint64_t* out) {
    for (unsigned c = 0; c < batches; ++c) out[c] = n != 0 ? accepted_avx512(w + 64 * c, n, zone) : 0;
}

}  // namespace lanes

// Whether the processor has the AVX-512 parts the lanes use.
inline bool lanes_avx512() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512dq");
    return has;
}

// Makes `count` words (a multiple of 4) of each of four generators into
// out[j], leaving each generator after its words.
inline void make_lane_words(Rng (&g)[4], std::uint64_t* const (&out)[4], unsigned count, bool avx512) {
    alignas(32) LaneStates state;
    for (unsigned j = 0; j < 4; ++j)
        for (unsigned k = 0; k < 4; ++k) state[k][j] = g[j].s[k];
    if (avx512) {
        lanes::make_avx512(state, out, count, nullptr);
    } else {
        lanes::make_avx2(state, out, count, nullptr);
    }
    for (unsigned j = 0; j < 4; ++j)
        for (unsigned k = 0; k < 4; ++k) g[j].s[k] = state[k][j];
}

// Acceptance masks of `batches` batches of 64 words at w (a count of 0 keeps none).
inline void lane_masks(const std::uint64_t* w, unsigned batches, std::uint64_t n, std::uint64_t zone,
                       std::uint64_t* out, bool avx512) {
    if (avx512) {
        lanes::masks_avx512(w, batches, n, zone, out);
    } else {
        lanes::masks_avx2(w, batches, n, zone, out);
    }
}

// One generator's words made by four lanes at once: each round, lane j runs
// its own stretch of 1024 consecutive words of the stream, starting 1024·j
// words after the round's first, and the four stretches are stored in
// stream order. Between rounds every lane jumps over the three stretches the
// others made. The words are the generator's own, in its order; only the
// making differs (about three times cheaper than one word after another).
struct WideWords {
    static constexpr unsigned lanes = 4;
    static constexpr unsigned stretch = 1024;                 // words per lane and round
    static constexpr unsigned chunks = lanes * stretch / 64;  // batches of 64 per round
    alignas(64) std::uint64_t word[lanes * stretch];          // the round's words, in stream order
    std::uint64_t accept_sites[chunks];                       // per batch: accepted below the site count
    std::uint64_t accept_offsets[chunks];                     // per batch: accepted below the offset count
    alignas(32) LaneStates next_lane;                         // the lanes at the start of the next round
    Rng round_lane[lanes];                                    // lane j at the start of this round
    bool avx512 = lanes_avx512();

    explicit WideWords(Rng g) {
        for (unsigned j = 0; j < lanes; ++j) {
            for (unsigned k = 0; k < 4; ++k) next_lane[k][j] = g.s[k];
            g = jump(g, jump_1024);
        }
    }

    // The generator at word `index` of this round (index ≤ lanes·stretch).
    Rng state_at(unsigned index) const {
        if (index == lanes * stretch) {
            Rng g = round_lane[lanes - 1];
            for (unsigned k = 0; k < stretch; ++k) (void)next_u64(g);
            return g;
        }
        Rng g = round_lane[index / stretch];
        for (unsigned k = 0; k < index % stretch; ++k) (void)next_u64(g);
        return g;
    }

    // Makes the next round's words and the two acceptance masks per batch
    // (a site count of 0 keeps no site mask); every lane then jumps over the
    // other lanes' stretches.
    void fill(std::uint64_t n_sites, std::uint64_t zone_sites, std::uint64_t n_offsets, std::uint64_t zone_offsets) {
        for (unsigned j = 0; j < lanes; ++j)
            for (unsigned k = 0; k < 4; ++k) round_lane[j].s[k] = next_lane[k][j];
        std::uint64_t* const out[4] = {word, word + stretch, word + 2 * stretch, word + 3 * stretch};
        if (avx512) {
            lanes::make_avx512(next_lane, out, stretch, &jump_3072);
        } else {
            lanes::make_avx2(next_lane, out, stretch, &jump_3072);
        }
        lane_masks(word, chunks, n_sites, zone_sites, accept_sites, avx512);
        lane_masks(word, chunks, n_offsets, zone_offsets, accept_offsets, avx512);
    }
};
#endif

#ifndef TESSALY_WIDE_WORDS
struct WideWords;  // left out of this build: the sweeps make one word after another
#endif

// A generator's words, made 64 at a time, for the sweeps. The stream is the
// generator's own, consumed strictly in order, so every draw reads exactly
// the words the plain draws would; only the bookkeeping differs. Along with
// the words, each batch marks which of them a bounded draw below the site
// count and below the neighbour-offset count would accept, so such a draw is
// a bit scan instead of a loop whose exit is a coin toss for power-of-two
// ranges. A count of 0 keeps no mask (a tile draws no sites).
//
// Two records: `WordSource` makes the batches (one word after another, or
// taken from the rounds of `wide` when set), `WordBatch` is the cursor the
// draws move. The cursor's address never leaves the sweep, so the compiler
// keeps it in registers; only a new batch calls out.
struct WordSource {
    static constexpr unsigned size = 64;
    Rng start;                          // the generator before the current batch (one after another)
    Rng ahead;                          // the generator after the current batch (one after another)
    bool filled = false;                // some words have been made
    std::uint64_t n_sites, zone_sites;
    std::uint64_t n_offsets, zone_offsets;
#ifdef TESSALY_WIDE_WORDS
    WideWords* wide = nullptr;          // the rounds the batches come from, if any
    unsigned chunk = WideWords::chunks; // the current batch's index in wide's round
#endif
    // Words made ahead, by lanes, for the first batches of a source that
    // draws no sites: `preset_batches` batches at `preset` with their offset
    // masks; `ahead` is then the generator after them, while `start` stays
    // the one before.
    const std::uint64_t* preset = nullptr;
    const std::uint64_t* preset_offsets = nullptr;
    unsigned preset_batches = 0;
    unsigned made = 0;                  // preset batches handed out
    bool in_preset = false;             // the current batch is one of them
    std::uint64_t own[size];            // the current batch (one after another)

    static std::uint64_t zone_of(std::uint64_t n) { return (n << __builtin_clzll(n)) - 1; }

    WordSource(const Rng& g, std::uint64_t sites, std::uint64_t offsets)
        : start(g), ahead(g), n_sites(sites), zone_sites(zone_of(sites ? sites : 1)),
          n_offsets(offsets ? offsets : 1), zone_offsets(zone_of(n_offsets)) {}

    struct Batch {
        const std::uint64_t* word;
        std::uint64_t accept_sites, accept_offsets;
    };

    [[gnu::noinline]] Batch next() {
        filled = true;
#ifdef TESSALY_WIDE_WORDS
        if (wide != nullptr) {
            if (++chunk >= WideWords::chunks) {
                wide->fill(n_sites, zone_sites, n_offsets, zone_offsets);
                chunk = 0;
            }
            return {wide->word + size * chunk, wide->accept_sites[chunk], wide->accept_offsets[chunk]};
        }
#endif
        if (made < preset_batches) {
            const unsigned c = made++;
            in_preset = true;
            return {preset + size * c, 0, preset_offsets[c]};
        }
        in_preset = false;
        start = ahead;
        Rng g = ahead;
#pragma GCC unroll 4
        for (unsigned k = 0; k < size; ++k) own[k] = next_u64(g);
        ahead = g;
        return {own, n_sites != 0 ? accepted_words(own, n_sites, zone_sites) : 0,
                accepted_words(own, n_offsets, zone_offsets)};
    }

    // The generator after the first `used` words of the current batch.
    Rng state(unsigned used) const {
        if (!filled) return start;
#ifdef TESSALY_WIDE_WORDS
        if (wide != nullptr) return wide->state_at(size * chunk + used);
#endif
        Rng g = start;
        const std::size_t skip = in_preset ? std::size_t{size} * (made - 1) + used : used;
        for (std::size_t k = 0; k < skip; ++k) (void)next_u64(g);
        return g;
    }
};

// The live words after the lowest set bit of m (m is within live). With
// `Bmi` (only where the processor has those instructions) this is two
// one-cycle instructions on the chain that every draw waits for; the
// compiler does not find them by itself.
template <bool Bmi>
inline std::uint64_t live_after(std::uint64_t live, std::uint64_t m) {
#ifdef TESSALY_WIDE_WORDS
    if constexpr (Bmi) {
        std::uint64_t through, rest;
        asm("blsmsk %1, %0" : "=r"(through) : "r"(m));
        asm("andn %2, %1, %0" : "=r"(rest) : "r"(through), "r"(live));
        return rest;
    }
#endif
    return live & ~(m ^ (m - 1));
}

template <bool Bmi>
struct WordCursor {
    WordSource& source;
    const std::uint64_t* word;          // the current batch
    std::uint64_t accept_sites = 0;     // bit k: word k is accepted below n_sites
    std::uint64_t accept_offsets = 0;   // bit k: word k is accepted below the offset count
    std::uint64_t live = 0;             // bit k: word k is not consumed yet
    std::uint64_t n_sites, n_offsets;

    explicit WordCursor(WordSource& s) : source(s), word(s.own), n_sites(s.n_sites), n_offsets(s.n_offsets) {}

    void refill() {
        const WordSource::Batch b = source.next();
        word = b.word;
        accept_sites = b.accept_sites;
        accept_offsets = b.accept_offsets;
        live = ~std::uint64_t{0};
    }

    // Position of the first live word whose bit is set in `accept`, consuming
    // it and every word before it.
    unsigned take(const std::uint64_t& accept) {
        for (;;) {
            const std::uint64_t m = accept & live;
            if (m != 0) [[likely]] {
                live = live_after<Bmi>(live, m);
                return static_cast<unsigned>(__builtin_ctzll(m));
            }
            refill();
        }
    }
    static std::size_t high(std::uint64_t v, std::uint64_t n) {
        __extension__ using u128 = unsigned __int128;
        return static_cast<std::size_t>((static_cast<u128>(v) * n) >> 64);
    }

    // (the position first: taking it may move `word` to the next batch)
    std::size_t site() {
        const unsigned k = take(accept_sites);
        return high(word[k], n_sites);
    }
    std::size_t offset() {
        const unsigned k = take(accept_offsets);
        return high(word[k], n_offsets);
    }
    std::uint64_t next() {
        const unsigned k = take(live);
        return word[k];
    }
    // A bounded draw below any n, word by word as the plain draw does.
    std::size_t below(std::uint64_t n) {
        if (n == n_offsets) return offset();
        const std::uint64_t zone = WordSource::zone_of(n);
        for (;;) {
            const std::uint64_t v = next();
            if (v * n <= zone) return high(v, n);
        }
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // The generator after the last consumed word.
    Rng state() const {
        return source.state(live == 0 ? WordSource::size : static_cast<unsigned>(__builtin_ctzll(live)));
    }
};

using WordBatch = WordCursor<false>;

}  // namespace tessaly
