// Fuzz target for the checkpoint decoder. The first input byte chooses how
// the rest is read:
//   below 0x80: a base world (one of four, built here: every term in 3-D,
//               the motility terms included,
//               a set-up world with an unregistered id, a box with no site,
//               a planar box with no periodic axis) is encoded, and the rest
//               are 5-byte edits of its payload (offset u32, value u8; the
//               offset's top two bits say set, add or cut there);
//   0x80 up:    the rest is a payload as it is.
// FormatError is the expected outcome of a bad payload; a crash, a sanitizer
// report or a broken invariant is a finding.
//
// Invariants of every payload that decodes: it encodes again to a payload
// that decodes to the same bytes; the world runs (a running one steps at
// once, a set-up one once finalized as the binding does) and its trackers
// stay exact.
//
// Build and run (clang, libFuzzer, ASan, UBSan):   ./dev fuzz-checkpoint [seconds]
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "checkpoint.hpp"
#include "error.hpp"
#include "field.hpp"
#include "init.hpp"
#include "sweep.hpp"
#include "world.hpp"

namespace {

using namespace tessaly;

// small enough that a step takes well under a millisecond
constexpr DecodeLimits limits{1U << 14, 64};

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

World base_world(unsigned kind) {
    const bool planar = kind == 3;
    const std::array<std::size_t, 3> dims = kind == 2 ? std::array<std::size_t, 3>{3, 0, 2}
                                            : planar  ? std::array<std::size_t, 3>{9, 7, 1}
                                                      : std::array<std::size_t, 3>{6, 5, 4};
    const bool periodic = kind != 3;
    World w(Lattice(dims, {periodic, periodic, periodic}, Neighborhood(dims[2] >= 2 ? 1 : 0, planar ? 2 : 1)), 4.0);
    if (w.lattice.n_sites() == 0) return w;
    for (CellType t = 1; t <= 3; ++t) add_cell(w, t, 8.0, 1.0, 10.0, t == 2 ? 0.5 : 0.0);
    for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) paint(w, i, static_cast<CellId>((i / 3) % 4));
    if (kind == 1) paint(w, 4, 9);  // unregistered, as a world being painted may hold
    add_field(w, "c", 0.1, 0.01);
    set_secretion(w, 0, 1, 0.5);
    set_cell_secretion_scale(w, 0, 2, 2.0);
    set_chemotaxis_occupancy(w, 0, 2, 5.0, 1.0, 2.0, 1.0);
    set_membrane(w, {0, 7}, 0.5, 1.0);
    set_membrane_anchored(w, 1, true);
    set_junction(w, 3, true);
    set_junction_lambda(w, 1.0);
    set_length_constraint(w, 2, 3.0, 0.5);
    set_external_potential(w, 1, 0.1, 0.2, 0.0);
    set_connectivity(w, 3, true);
    if (kind == 0) {  // the motility terms, each with a section of its own
        set_act(w, 1, 5.0, 20);
        set_persistence(w, 2, 3.0, 2, 0.5);
        set_cell_frozen(w, 3, true);
        set_tracking(w, true);
    }
    return w;
}

std::vector<std::uint8_t> base_payload(unsigned kind) {
    World w = base_world(kind);
    record_contact(w, 0, 1, 8.0);
    record_contact(w, 1, 2, 3.0);
    record_contact(w, 2, 3, 1.0);
    const bool running = kind == 0 || kind == 3;
    if (running) finish_setup(w);
    return encode_payload(w, running, seed_from_u64(kind + 1));
}

std::vector<std::uint8_t> encode(const WorldState& s) {
    return encode_payload(s.world, s.running, s.rng);
}

bool trackers_exact(const World& w) {
    World fresh = w;
    recompute_trackers(fresh);
    for (std::size_t id = 0; id < w.cells.size(); ++id) {
        const Trackers &a = w.cells[id].trackers, &b = fresh.cells[id].trackers;
        if (a.volume != b.volume || a.surface != b.surface || a.sum_x != b.sum_x || a.sum_yy != b.sum_yy ||
            a.sum_xz != b.sum_xz)
            return false;
    }
    return true;
}

void check(const std::uint8_t* data, std::size_t size) {
    WorldState state = decode_payload(data, size, limits);
    // the same state encodes to one payload, whichever bytes it came from
    const std::vector<std::uint8_t> again = encode(state);
    WorldState second = decode_payload(again.data(), again.size(), limits);
    if (encode(second) != again) finding("a decoded payload does not encode back to itself");
    // and it runs (unless it would take long: a valid world may ask for any number of substeps)
    for (const Field& f : state.world.fields)
        if (f.substeps > 8) return;
    if (state.world.terms.persistence.ring > 64) return;  // nor when a step would keep long direction histories
    if (!state.running) {
        if (state.world.setup.max_type >= limits.max_table_side) return;  // a table this build keeps small
        try {
            finish_setup(state.world);  // as finalize: refuses an unregistered id
        } catch (const EngineError&) {
            return;
        }
    }
    Cpm cpm = state.running ? Cpm(std::move(state.world), state.rng) : Cpm(std::move(state.world), 1);
    step(cpm, 2);
    if (!trackers_exact(cpm.world)) finding("trackers drift after a restored world steps");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::uint8_t> payload;
    if (data[0] >= 0x80) {
        payload.assign(data + 1, data + size);
    } else {
        static const std::vector<std::uint8_t> bases[4] = {base_payload(0), base_payload(1), base_payload(2),
                                                           base_payload(3)};
        payload = bases[data[0] % 4];
        for (std::size_t at = 1; at + 5 <= size && !payload.empty(); at += 5) {
            std::uint32_t word;
            std::memcpy(&word, data + at, 4);
            const std::size_t offset = (word & 0x3FFFFFFFu) % payload.size();
            const std::uint8_t value = data[at + 4];
            switch (word >> 30) {
            case 0:
                payload[offset] = value;
                break;
            case 1:
                payload[offset] = static_cast<std::uint8_t>(payload[offset] + value);
                break;
            default:
                payload.resize(offset);
                break;
            }
        }
    }
    try {
        check(payload.data(), payload.size());
    } catch (const FormatError&) {
    } catch (const std::bad_alloc&) {
    }
    // the framing alone: never more than a FormatError
    try {
        (void)read_frame(data, size);
    } catch (const FormatError&) {
    }
    return 0;
}
