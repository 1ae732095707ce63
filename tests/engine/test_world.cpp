// Registry, seeding, trackers and copy application.
#include <vector>

#include "check.hpp"
#include "worlds.hpp"
#include "error.hpp"
#include "init.hpp"
#include "world.hpp"

using namespace tessaly;

namespace {

using tessaly_test::same_trackers;
using tessaly_test::trackers_exact;

World make_world(std::size_t nx, std::size_t ny, std::size_t nz, bool periodic, std::uint8_t order) {
    return World(Lattice({nx, ny, nz}, {periodic, periodic, periodic}, Neighborhood(nz >= 2 ? 1 : 0, order)), 1.0);
}

std::vector<std::pair<CellId, std::int64_t>> pairs(const SurfaceDeltas& list) {
    std::vector<std::pair<CellId, std::int64_t>> out;
    for (const SurfaceDelta& d : list) out.emplace_back(d.id, d.delta);
    return out;
}

}  // namespace

int main() {
    // registry basics
    {
        World w = make_world(3, 3, 3, false, 1);
        CHECK_EQ(w.cells.size(), 1u);
        CHECK(!w.surface_active);
        CHECK_EQ(add_cell(w, 1, 2.0, 1.0, 0.0, 0.0), 1u);
        CHECK(!w.surface_active);
        CHECK_EQ(add_cell(w, 1, 2.0, 1.0, 0.0, 0.5), 2u);
        CHECK(w.surface_active);
        recompute_trackers(w);
        CHECK(w.surface_active);
        set_cell_type(w, 0, 4);
        CHECK_EQ(w.cells[0].cell_type, 4);
        CHECK(tessaly_test::throws<EngineError>([&] { set_target_volume(w, 3, 1.0); }, "not registered"));
        grow(w, 1, 2.5);
        grow(w, 1, 2.5);
        CHECK(w.cells[1].target_volume == 7.0 && w.cells[2].target_volume == 7.0 && w.cells[0].target_volume == 0.0);
    }

    // the centre site of a 3×3×3 noflux box, order 1
    {
        World w = make_world(3, 3, 3, false, 1);
        add_cell(w, 1, 2.0, 1.0, 0.0, 0.0);
        paint(w, 13, 1);
        recompute_trackers(w);
        CHECK(w.cells[1].trackers.volume == 1 && w.cells[1].trackers.surface == 6);
        CHECK(w.cells[0].trackers.volume == 26 && w.cells[0].trackers.surface == 6);
        CHECK(w.cells[1].trackers.sum_x == 1.0 && w.cells[1].trackers.sum_y == 1.0 && w.cells[1].trackers.sum_z == 1.0);
        CHECK((pairs(surface_deltas(w, 13, 0)) == std::vector<std::pair<CellId, std::int64_t>>{{0, -6}, {1, -6}}));
        CHECK(surface_deltas(w, 13, 1).empty());
        apply_flip(w, 13, 0);
        CHECK(w.cells[1].trackers.volume == 0 && w.cells[1].trackers.surface == 0 && w.cells[1].trackers.sum_xx == 0.0);
        CHECK(w.cells[0].trackers.volume == 27 && w.cells[0].trackers.surface == 0);
        CHECK(trackers_exact(w));
        World before = w;
        apply_flip(w, 13, 0);  // the id the site holds: nothing changes
        CHECK(same_trackers(before.cells[0], w.cells[0]));
        CHECK(tessaly_test::throws<EngineError>([&] { apply_flip(w, 27, 1); }, "out of range"));
    }

    // six neighbours: two of A, one of B, three MEDIUM; A → B
    {
        World w = make_world(3, 3, 3, false, 1);
        const CellId a = add_cell(w, 1, 0, 0, 0, 0);
        const CellId b = add_cell(w, 1, 0, 0, 0, 0);
        paint(w, 13, a);
        paint(w, 12, a);  // −x
        paint(w, 14, a);  // +x
        paint(w, 10, b);  // −y
        recompute_trackers(w);
        CHECK((pairs(surface_deltas(w, 13, b)) == std::vector<std::pair<CellId, std::int64_t>>{{0, 0}, {a, -2}, {b, 4}}));
        apply_flip(w, 13, b);
        CHECK(trackers_exact(w));
    }

    // a periodic axis of length 1: the site is listed as its own neighbour,
    // which must change no surface
    {
        World w = make_world(1, 3, 1, true, 1);
        const CellId a = add_cell(w, 1, 0, 0, 0, 0);
        const CellId b = add_cell(w, 1, 0, 0, 0, 0);
        paint(w, 0, b);
        paint(w, 1, a);
        paint(w, 2, b);
        recompute_trackers(w);
        CHECK((pairs(surface_deltas(w, 1, b)) == std::vector<std::pair<CellId, std::int64_t>>{{a, -2}, {b, -2}}));
        apply_flip(w, 1, b);
        CHECK(trackers_exact(w));
    }

    // recomputation refuses unregistered ids and then changes nothing
    {
        World w = make_world(2, 2, 1, false, 1);
        add_cell(w, 1, 0, 0, 0, 0);
        paint(w, 0, 1);
        recompute_trackers(w);
        paint(w, 1, 9);
        const Cell before = w.cells[1];
        CHECK(tessaly_test::throws<EngineError>([&] { recompute_trackers(w); }, "not registered"));
        CHECK(same_trackers(before, w.cells[1]));
        CHECK(tessaly_test::throws<EngineError>([&] { paint(w, 4, 1); }, "out of range"));
    }

    // seeding from labels
    {
        World w = make_world(2, 1, 1, false, 1);
        auto ids = seed_from_labels(w, {7, 7}, {}, 2, 10.0, 1.0);
        CHECK(ids.size() == 1 && ids.at(7) == 1);
        CHECK(w.cells[1].cell_type == 2 && w.lattice.sites[0] == 1 && w.lattice.sites[1] == 1);
        CHECK(tessaly_test::throws<EngineError>([&] { seed_from_labels(w, {1}, {}, 0, 0, 0); },
                                                 "labels length must equal n_sites"));
        CHECK_EQ(w.cells.size(), 2u);
    }
    {
        World w = make_world(4, 1, 1, false, 1);
        paint(w, 0, 0);
        auto ids = seed_from_labels(w, {0, 5, 3, 5}, {{3, 4}, {99, 1}}, 2, 10.0, 1.0);
        CHECK(ids.at(5) == 1 && ids.at(3) == 2 && ids.size() == 2);
        CHECK(w.cells[1].cell_type == 2 && w.cells[2].cell_type == 4);
        CHECK((w.lattice.sites == std::vector<CellId>{0, 1, 2, 1}));
        auto again = seed_from_labels(w, {0, 5, 3, 5}, {}, 2, 10.0, 1.0);
        CHECK(again.at(5) == 3 && again.at(3) == 4);
        recompute_trackers(w);
        CHECK(w.cells[1].trackers.volume == 0 && w.cells[3].trackers.volume == 2);
    }

    // set-up: the table finalize builds, and painting a box
    {
        World w = make_world(4, 3, 2, false, 1);
        const CellId a = add_cell(w, 1, 0, 0, 0, 0);
        record_type(w, 4);
        record_contact(w, 1, 2, 5.0);
        record_contact(w, 2, 1, 7.0);  // the later entry wins
        CHECK(w.setup.max_type == 4 && w.setup.pending_contacts.size() == 2);
        CHECK(box_fits(w.lattice, {{3, 0, 0}, {1, 9, 9}}));  // empty: paints nothing, fits anywhere
        paint_box(w, {{0, 0, 0}, {0, SIZE_MAX, SIZE_MAX}}, a);  // returns at once: no row walked
        CHECK(!box_fits(w.lattice, {{0, 0, 0}, {5, 1, 1}}));
        CHECK(tessaly_test::throws<EngineError>([&] { paint_box(w, {{3, 0, 0}, {5, 1, 1}}, a); }, "outside"));
        paint_box(w, {{1, 1, 0}, {3, 3, 2}}, a);
        const std::vector<CellId> painted = w.lattice.sites;
        // an unregistered id is refused before anything is painted, an empty box included
        CHECK(tessaly_test::throws<EngineError>([&] { paint_box(w, {{0, 0, 1}, {1, 1, 2}}, 9); }, "cell id 9 is not registered"));
        CHECK(tessaly_test::throws<EngineError>([&] { paint_box(w, {{0, 0, 0}, {0, 0, 0}}, 9); }, "not registered"));
        CHECK(w.lattice.sites == painted);
        paint(w, 12, 9);  // ids painted otherwise are checked by finish_setup
        const Cell before = w.cells[a];
        CHECK(tessaly_test::throws<EngineError>([&] { finish_setup(w); }, "not registered"));
        CHECK(w.contact.n == 1 && same_trackers(before, w.cells[a]));
        paint_box(w, {{0, 0, 1}, {1, 1, 2}}, 0);
        finish_setup(w);
        CHECK(w.contact.n == 5 && contact_energy(w.contact, 2, 1) == 7.0 && contact_energy(w.contact, 4, 4) == 0.0);
        CHECK(w.cells[a].trackers.volume == 8 && w.cells[a].trackers.sum_x == 12.0);
        CHECK(w.setup.pending_contacts.size() == 2);  // kept once running
    }

    // a strided array of any integer width seeds as the list of its elements in C order does
    {
        // labels[z][y][x] of a 3×2×2 box stored transposed (x slowest) as int16, and as uint64 in C order
        const std::vector<std::uint32_t> list = {0, 9, 9, 4, 4, 0, 2, 9, 0, 0, 2, 70000};
        std::vector<std::int16_t> fortran(12);
        std::vector<std::uint64_t> c_order(list.begin(), list.end());
        for (std::size_t i = 0; i < 12; ++i) fortran[(i % 3) * 4 + (i / 3) % 2 * 2 + i / 6] =
            static_cast<std::int16_t>(list[i] == 70000 ? 7 : list[i]);
        std::vector<std::uint32_t> short_list = list;
        short_list[11] = 7;
        World by_list = make_world(3, 2, 2, false, 1), by_fortran = by_list, by_c = by_list;
        const auto from_list = seed_from_labels(by_list, short_list, {{4, 3}}, 1, 5.0, 2.0);
        const LabelArray f{reinterpret_cast<const unsigned char*>(fortran.data()), 2, true, {2, 2, 3}, {2, 4, 8}};
        const auto from_array = seed_from_labels(by_fortran, f, {{4, 3}}, 1, 5.0, 2.0);
        CHECK(from_list == decltype(from_list)(from_array.begin(), from_array.end()));
        CHECK(from_array.front().first == 9 && from_array.back().first == 7);
        CHECK(by_fortran.lattice.sites == by_list.lattice.sites && by_fortran.cells.size() == by_list.cells.size());
        CHECK(by_fortran.cells[2].cell_type == 3 && by_fortran.cells[2].lambda_volume == 2.0);
        const LabelArray c{reinterpret_cast<const unsigned char*>(c_order.data()), 8, false, {12}, {8}};
        CHECK((seed_from_labels(by_c, c, {}, 1, 0, 0).back() == std::pair<std::uint32_t, CellId>{70000, 4}));
        // out of range, or the wrong count: refused before anything changes
        c_order[3] = std::uint64_t{1} << 32;
        CHECK(tessaly_test::throws<EngineError>([&] { seed_from_labels(by_c, c, {}, 1, 0, 0); }, "[0, 4294967295]"));
        fortran[5] = -1;
        CHECK(label_range(f).negative && label_range(f).min == -1 && label_range(f).max == 9 && !labels_fit_u32(f));
        CHECK(labels_fit_u32(c) == false && labels_fit_u32(LabelArray{c.data, 8, false, {3}, {8}}));
        c_order[4] = ~std::uint64_t{0};  // the largest u64 is no negative label
        CHECK(!label_range(c).negative && label_range(c).max == ~std::uint64_t{0});
        const LabelArray short_c{c.data, 8, false, {11}, {8}};
        CHECK(tessaly_test::throws<EngineError>([&] { seed_from_labels(by_c, short_c, {}, 1, 0, 0); },
                                                      "labels length must equal n_sites"));
        CHECK_EQ(by_c.cells.size(), 5u);
        // the world's own sites, read backwards: copied before the first write
        World own = by_list;
        const LabelArray backwards{reinterpret_cast<const unsigned char*>(own.lattice.sites.data() + 11), 4, false,
                                   {12}, {-4}};
        seed_from_labels(own, backwards, {}, 1, 0, 0);
        CHECK(own.lattice.sites[0] == 5 && own.lattice.sites[1] == 6 && own.lattice.sites[10] == 7 && own.lattice.sites[11] == 4);
    }

    // per-cell parameters: the surface guard follows the last non-zero λS
    {
        World w = make_world(2, 1, 1, false, 1);
        const CellId a = add_cell(w, 1, 4.0, 1.0, 0.0, 0.0);
        const CellId b = add_cell(w, 1, 4.0, 1.0, 0.0, 3.0);
        CHECK(w.surface_active);
        set_cell_params(w, a, {.target_volume = 9.0, .lambda_surface = 1.0});
        set_cell_params(w, b, {.lambda_surface = 0.0});
        CHECK(w.surface_active && w.cells[a].target_volume == 9.0 && w.cells[a].lambda_volume == 1.0);
        set_cell_params(w, a, {.lambda_surface = 0.0});
        CHECK(!w.surface_active);
        CHECK(tessaly_test::throws<EngineError>([&] { set_cell_params(w, 3, {}); }, "not registered"));
    }

    // contact area by type adds up to the surface
    {
        World w = make_world(5, 5, 5, false, 3);
        const CellId a = add_cell(w, 1, 0, 0, 0, 0);
        const CellId b = add_cell(w, 2, 0, 0, 0, 0);
        paint(w, 62, a);
        auto lone = contact_area_by_type(w, a);
        CHECK(lone.size() == 1 && lone[0].first == 0 && lone[0].second == 26);
        paint(w, 63, b);
        paint(w, 61, a);
        recompute_trackers(w);
        std::int64_t total = 0;
        for (const auto& [type, count] : contact_area_by_type(w, a)) total += count;
        CHECK_EQ(total, w.cells[a].trackers.surface);
        CHECK(contact_area_by_type(w, 77).empty());
    }

    return tessaly_test::finish();
}
