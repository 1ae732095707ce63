// The generator: seeding, raw words, uniform doubles and bounded integers.
#include <memory>
#include <vector>

#include "check.hpp"
#include "lanes.hpp"
#include "rng.hpp"
#include "words.hpp"

using namespace tessaly;

namespace {

bool same_state(const Rng& a, const Rng& b) {
    return a.s[0] == b.s[0] && a.s[1] == b.s[1] && a.s[2] == b.s[2] && a.s[3] == b.s[3];
}

// A mix of every kind of draw, over about four rounds of wide words, against
// the plain draws; the cursor's state is checked along the way.
template <typename Cursor>
bool draws_match(Cursor& cursor, std::uint64_t sites, std::uint64_t offsets) {
    Rng ref = seed_from_u64(sites);
    bool same = true;
    for (int k = 0; k < 12000 && same; ++k) {
        switch (k % 5) {
            case 0: same = cursor.site() == bounded(ref, sites); break;
            case 1: same = cursor.offset() == bounded(ref, offsets); break;
            case 2: same = cursor.below(5) == bounded(ref, 5); break;
            case 3: same = cursor.unit() == uniform(ref); break;
            default: same = cursor.next() == next_u64(ref); break;
        }
        if (k % 97 == 0) same = same && same_state(cursor.state(), ref);
    }
    return same;
}

}  // namespace

int main() {
    Rng g = seed_from_u64(0);
    CHECK(g.s[0] == 0x45CDB581F973F2ECULL && g.s[1] == 0xAD6CAD067346F087ULL && g.s[2] == 0x67E71733E3A3D0D0ULL &&
          g.s[3] == 0xFE7D8AD772EA9BF2ULL);
    const Rng fresh = g;
    CHECK_EQ(next_u64(g), 0x7283E4C96896188CULL);
    CHECK_EQ(next_u64(g), 0x706B7F2DE031BF37ULL);
    CHECK_EQ(next_u64(g), 0xFAD96EA1180D0E12ULL);

    Rng u = fresh;
    CHECK_EQ(uniform(u), 0.44732503812027635);
    Rng b10 = fresh;
    CHECK_EQ(bounded(b10, 10), 4u);
    Rng b1000 = fresh;
    CHECK_EQ(bounded(b1000, 1000), 447u);

    const Rng s42 = seed_from_u64(42);
    CHECK(s42.s[0] == 0x0A3D32587BA18FA4ULL && s42.s[1] == 0xB8140169CCA1B8EAULL &&
          s42.s[2] == 0x54F7B41875C88C2BULL && s42.s[3] == 0xF220DFE4A16E448DULL);

    // below 1: always 0, but words at or above 2^63 are rejected and redrawn
    {
        Rng a = seed_from_u64(7), ref = seed_from_u64(7);
        for (int k = 0; k < 100; ++k) {
            CHECK_EQ(bounded(a, 1), 0u);
            while (next_u64(ref) >= (std::uint64_t{1} << 63)) {
            }
            CHECK(a.s[0] == ref.s[0] && a.s[3] == ref.s[3]);
        }
    }
    // below 2^k: a word is rejected when bit 63 − k is set, else its top k bits
    {
        Rng a = seed_from_u64(9), ref = seed_from_u64(9);
        for (int k = 0; k < 100; ++k) {
            std::uint64_t v;
            do v = next_u64(ref);
            while ((v >> (63 - 3)) & 1U);
            CHECK_EQ(bounded(a, 8), static_cast<std::size_t>(v >> 61));
        }
    }
    // uniform doubles never reach 1, bounded draws stay below n
    {
        Rng a = seed_from_u64(123);
        bool ok = true;
        for (int k = 0; k < 100000; ++k) {
            const double x = uniform(a);
            ok = ok && x >= 0.0 && x < 1.0 && bounded(a, 26) < 26;
        }
        CHECK(ok);
    }

    // the jump constants: d steps at once equal d single steps
    {
        Rng a = seed_from_u64(31), b = a;
        for (int k = 0; k < 1024; ++k) (void)next_u64(a);
        CHECK(same_state(jump(b, jump_1024), a));
        for (int k = 0; k < 2048; ++k) (void)next_u64(a);
        CHECK(same_state(jump(b, jump_3072), a));
    }

    // the batched cursor draws exactly what the plain draws would, and its
    // state is the generator after the last word it consumed: made one
    // after another, and (where the processor allows) in wide rounds, across
    // several rounds, for power-of-two counts and others
    {
        struct Counts {
            std::uint64_t sites, offsets;
        };
        // 0: one word after another; 1: wide rounds; 2: wide rounds without AVX-512
        for (const Counts c : {Counts{65536, 8}, Counts{1000, 26}, Counts{4096, 6}, Counts{7, 1}}) {
            for (const int kind : {0, 1, 2}) {
                const bool wide = kind != 0;
#ifdef TESSALY_WIDE_WORDS
                std::unique_ptr<WideWords> rounds;
                const auto make_rounds = [&] {
                    rounds = std::make_unique<WideWords>(seed_from_u64(c.sites));
                    if (kind == 2) rounds->avx512 = false;
                };
                if (wide) {
                    if (!__builtin_cpu_supports("avx2")) continue;
                    make_rounds();
                }
#else
                if (wide) continue;
#endif
                WordSource source(seed_from_u64(c.sites), c.sites, c.offsets);
#ifdef TESSALY_WIDE_WORDS
                source.wide = rounds.get();
#endif
                WordCursor<false> cursor(source);
                CHECK(draws_match(cursor, c.sites, c.offsets));
#ifdef TESSALY_WIDE_WORDS
                // the same with the bit manipulation instructions
                if (__builtin_cpu_supports("bmi")) {
                    if (wide) make_rounds();
                    WordSource again(seed_from_u64(c.sites), c.sites, c.offsets);
                    again.wide = rounds.get();
                    WordCursor<true> fast(again);
                    CHECK(draws_match(fast, c.sites, c.offsets));
                }
#endif
            }
        }
        // exactly at the end of a batch, and of a round
        for (const bool wide : {false, true}) {
#ifdef TESSALY_WIDE_WORDS
            std::unique_ptr<WideWords> rounds;
            if (wide) {
                if (!__builtin_cpu_supports("avx2")) continue;
                rounds = std::make_unique<WideWords>(seed_from_u64(8));
            }
#else
            if (wide) continue;
#endif
            WordSource source(seed_from_u64(8), 100, 8);
#ifdef TESSALY_WIDE_WORDS
            source.wide = rounds.get();
#endif
            WordCursor<false> cursor(source);
            Rng ref = seed_from_u64(8);
            bool same = true;
            for (int k = 1; k <= 3 * 4096; ++k) {
                same = same && cursor.next() == next_u64(ref);
                if (k % 64 == 0) same = same && same_state(cursor.state(), ref);
            }
            CHECK(same);
        }
        // before any draw the state is the generator itself
        WordSource source(seed_from_u64(3), 64, 8);
        const WordCursor<false> cursor(source);
        CHECK(cursor.state().s[0] == seed_from_u64(3).s[0]);
    }

#ifdef TESSALY_WIDE_WORDS
    // four generators made side by side give their own words; a source whose
    // first batches were made so goes on one word after another, and its
    // state is right inside and after them
    if (__builtin_cpu_supports("avx2")) {
        for (const bool avx512 : {false, true}) {
            if (avx512 && !lanes_avx512()) continue;
            Rng lane[4] = {seed_from_u64(1), seed_from_u64(2), seed_from_u64(3), seed_from_u64(4)};
            std::vector<std::uint64_t> words(4 * 128), masks(2);
            std::uint64_t* const out[4] = {words.data(), words.data() + 128, words.data() + 256, words.data() + 384};
            make_lane_words(lane, out, 128, avx512);
            bool same = true;
            for (unsigned j = 0; j < 4; ++j) {
                Rng ref = seed_from_u64(j + 1);
                for (unsigned k = 0; k < 128; ++k) same = same && out[j][k] == next_u64(ref);
                same = same && same_state(lane[j], ref);
            }
            CHECK(same);

            lane_masks(out[2], 2, 8, WordSource::zone_of(8), masks.data(), avx512);
            WordSource source(seed_from_u64(3), 0, 8);
            source.preset = out[2];
            source.preset_offsets = masks.data();
            source.preset_batches = 2;
            source.ahead = lane[2];
            WordCursor<false> cursor(source);
            Rng ref = seed_from_u64(3);
            for (int k = 0; k < 300 && same; ++k) {
                same = k % 3 == 2 ? cursor.unit() == uniform(ref) : cursor.offset() == bounded(ref, 8);
                same = same && same_state(cursor.state(), ref);
            }
            CHECK(same);
        }
    }
#endif
    return tessaly_test::finish();
}
