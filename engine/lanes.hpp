// Four generators side by side in the lanes of vector registers, and one
// generator's words made by them in wide rounds. Only in builds for x86-64
// with GCC or Clang (TESSALY_WIDE_WORDS); a build with TESSALY_NO_WIDE_WORDS
// leaves them out, as on other processors, and the sweeps make one word
// after another.
#pragma once

#include <cstdint>
#include <cstring>

#include "rng.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(TESSALY_NO_WIDE_WORDS)
#include <immintrin.h>
#define TESSALY_WIDE_WORDS 1
#endif

namespace tessaly {

#ifdef TESSALY_WIDE_WORDS
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
#else
struct WideWords;  // left out of this build: the sweeps make one word after another
#endif

}  // namespace tessaly
