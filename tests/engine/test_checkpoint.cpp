// Checkpoints: a restored driver continues to the same bits as the original
// through every kind of call, and no damaged or cut checkpoint is accepted.
#include <cstring>
#include <string>
#include <vector>

#include "check.hpp"
#include "checkpoint.hpp"
#include "field.hpp"
#include "init.hpp"
#include "mitosis.hpp"
#include "parallel.hpp"
#include "sweep.hpp"
#include "worlds.hpp"

using namespace tessaly_test;

namespace {

// A 3-D sorting world with every term, a field and a recorded contact list.
Cpm every_term_world(bool with_length) {
    World w = sorting_world({{18, 14, 8}, true, 3, 0.5});
    add_field(w, "c", 0.1, 0.01);
    set_secretion(w, 0, 1, 0.5);
    set_cell_secretion_scale(w, 0, 3, 2.0);
    set_uptake(w, 0, 2, 0.05, 0.5, "");
    set_field_boundary(w, 0, 0.25);  // (kept, though every face of this box wraps)
    set_chemotaxis_occupancy(w, 0, 2, 20.0, 1.0, 2.0, 1.0);
    set_connectivity(w, 1, true);
    set_membrane(w, {0, 5, 17}, 0.5, 2.0);
    set_membrane_anchored(w, 2, true);
    set_junction(w, 1, true);
    set_junction_lambda(w, 1.5);
    if (with_length) set_length_constraint(w, 1, 5.0, 0.5);
    set_external_potential(w, 2, 0.0, 0.25, 0.1);
    // the contacts as set-up records them
    for (CellType a = 0; a < w.contact.n; ++a)
        for (CellType b = a; b < w.contact.n; ++b) record_contact(w, a, b, w.contact.data[a * w.contact.n + b]);
    return Cpm(std::move(w), 11);
}

Cpm restored(const Cpm& cpm) {
    const std::vector<std::uint8_t> payload = encode_payload(cpm.world, true, cpm.rng);
    WorldState s = decode_payload(payload.data(), payload.size());
    CHECK(s.running && s.world.setup.max_type == 2 && s.world.setup.pending_contacts.size() == 6);
    return Cpm(std::move(s.world), s.rng);
}

bool same_everything(const Cpm& a, const Cpm& b) {
    bool same = same_world(a.world, b.world) && same_rng(a.rng, b.rng) && a.world.fields.size() == b.world.fields.size();
    for (std::size_t k = 0; same && k < a.world.fields.size(); ++k) {
        const Field &f = a.world.fields[k], &g = b.world.fields[k];
        same = std::memcmp(f.conc.data(), g.conc.data(), f.conc.size() * sizeof(float)) == 0 &&
               f.boundary == g.boundary && f.uptake.size() == g.uptake.size();
        for (std::size_t t = 0; same && t < f.uptake.size(); ++t)
            same = f.uptake[t].max_rate == g.uptake[t].max_rate && f.uptake[t].km == g.uptake[t].km &&
                   f.uptake[t].scale_by == g.uptake[t].scale_by;
    }
    return same;
}

// A mixed sequence; every call is made on both drivers, and a checkpoint is
// taken (and the copy continued from it) at every stage.
void check_continuation(bool parallel) {
    Cpm original = every_term_world(!parallel);
    Cpm copy = restored(original);
    CHECK(same_everything(original, copy));
    const auto both = [&](auto call) {
        call(original);
        call(copy);
        CHECK(same_everything(original, copy));
        copy = restored(copy);
    };
    for (int round = 0; round < 4; ++round) {
        if (parallel) {
            set_worker_count_for_testing(1 + round % 2);
            both([](Cpm& c) { step_parallel(c, 3, 4); });
        } else {
            both([](Cpm& c) { step(c, 2); });
            both([](Cpm& c) { step(c, 40); });  // long enough for the wide rounds
        }
        both([](Cpm& c) { advance_fields(c.world); });
        both([](Cpm& c) { grow(c.world, 1, 30.0); });
        both([](Cpm& c) { divide_cells(c.world, 70.0, 40.0); });
        both([](Cpm& c) { remove_cells(c.world, {2}); });
    }
    set_worker_count_for_testing(0);
}

std::vector<std::uint8_t> small_checkpoint() {
    const Cpm cpm = every_term_world(true);
    const std::vector<std::uint8_t> payload = encode_payload(cpm.world, true, cpm.rng);
    return frame_checkpoint(codec_stored, payload.size(), payload.data(), payload.size());
}

bool refused(const std::vector<std::uint8_t>& bytes, const std::string& message) {
    return throws<FormatError>(
        [&] {
            const Frame f = read_frame(bytes.data(), bytes.size());
            (void)decode_payload(f.stored, f.stored_size);
        },
        message);
}

}  // namespace

int main() {
    check_continuation(false);
    check_continuation(true);

    // the framing: each kind of damage by its message
    const std::vector<std::uint8_t> good = small_checkpoint();
    CHECK(!refused(good, ""));
    CHECK(refused({}, "not a tessaly checkpoint"));
    std::vector<std::uint8_t> bad = good;
    bad[0] = 'T';
    CHECK(refused(bad, "not a tessaly checkpoint"));
    bad = good;
    bad[8] = 7;
    CHECK(refused(bad, "written by a newer tessaly (format 7; this one reads up to 5)"));
    for (std::size_t at : {std::size_t{40}, good.size() / 2, good.size() - 5}) {
        bad = good;
        bad[at] ^= 0x10;
        CHECK(refused(bad, "checkpoint damaged: checksum mismatch"));
    }
    // every cut is refused as damaged, none crashes
    bool every_cut = true;
    for (std::size_t n = 8; n < good.size(); ++n)
        every_cut = every_cut && refused(std::vector<std::uint8_t>(good.begin(), good.begin() + n), "checkpoint damaged");
    CHECK(every_cut);

    // the payload: a registry that disagrees with the sites, an id out of range
    Cpm cpm = every_term_world(true);
    cpm.world.cells[3].trackers.volume += 1;
    std::vector<std::uint8_t> payload = encode_payload(cpm.world, true, cpm.rng);
    CHECK(throws<FormatError>([&] { (void)decode_payload(payload.data(), payload.size()); },
                              "the cell registry disagrees with the sites"));
    cpm.world.cells[3].trackers.volume -= 1;
    cpm.world.lattice.sites[7] = 999;
    payload = encode_payload(cpm.world, true, cpm.rng);
    CHECK(throws<FormatError>([&] { (void)decode_payload(payload.data(), payload.size()); }, "not registered"));
    // the same site in the set-up phase stays as it is, for finalize to refuse
    payload = encode_payload(cpm.world, false, cpm.rng);
    CHECK(throws<FormatError>([&] { (void)decode_payload(payload.data(), payload.size()); }, "contact table"));
    return finish();
}
