// The generator: seeding, raw words, uniform doubles and bounded integers.
#include "check.hpp"
#include "rng.hpp"

using namespace tessaly;

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
    return tessaly_test::finish();
}
