// A generator's words, taken in batches of 64 by the sweeps' draws.
#pragma once

#include <cstddef>
#include <cstdint>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "lanes.hpp"
#include "rng.hpp"

namespace tessaly {

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

// A generator's words, made 64 at a time, for the sweeps. The stream is the
// generator's own, consumed strictly in order, so every draw reads exactly
// the words the plain draws would; only the bookkeeping differs. Along with
// the words, each batch marks which of them a bounded draw below the site
// count and below the neighbour-offset count would accept, so such a draw is
// a bit scan instead of a loop whose exit is a coin toss for power-of-two
// ranges. A count of 0 keeps no mask (a tile draws no sites).
//
// Two records: `WordSource` makes the batches (one word after another, or
// taken from the rounds of `wide` when set), `WordCursor` is the cursor the
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

}  // namespace tessaly
