// Division across the longest side of the bounding box, chosen divisions
// (local, batched, refused, failing part way), and removal.
#include <array>
#include <cmath>
#include <cstdlib>
#include <new>
#include <unordered_map>
#include <vector>

#include "check.hpp"
#include "checkpoint.hpp"
#include "error.hpp"
#include "field.hpp"
#include "frozen.hpp"
#include "mitosis.hpp"
#include "persistence.hpp"
#include "sweep.hpp"
#include "world.hpp"
#include "worlds.hpp"

using namespace tessaly;

// Allocation that fails on purpose: while `allocations_left` is not
// negative, each allocation takes one, and the one that finds none throws.
namespace {
long allocations_left = -1;

void* allocate(std::size_t size, std::size_t alignment) {
    if (allocations_left == 0) throw std::bad_alloc();
    if (allocations_left > 0) --allocations_left;
    size = size == 0 ? 1 : size;
    void* p = alignment <= alignof(std::max_align_t) ? std::malloc(size)
                                                     : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

World make_world(std::size_t nx, std::size_t ny, std::size_t nz, bool periodic) {
    return World(Lattice({nx, ny, nz}, {periodic, periodic, periodic}, Neighborhood(nz >= 2 ? 1 : 0, 1)), 1.0);
}

std::size_t site(const World& w, std::size_t x, std::size_t y, std::size_t z) {
    return x + w.lattice.nx * (y + w.lattice.ny * z);
}

void paint_box(World& w, std::size_t x0, std::size_t y0, std::size_t z0, std::size_t sx, std::size_t sy,
               std::size_t sz, CellId id) {
    for (std::size_t z = z0; z < z0 + sz; ++z)
        for (std::size_t y = y0; y < y0 + sy; ++y)
            for (std::size_t x = x0; x < x0 + sx; ++x) paint(w, site(w, x, y, z), id);
}

// Sites of cell `id` whose coordinate along `axis` satisfies pred.
template <typename Pred>
std::size_t count_sites(const World& w, CellId id, int axis, Pred pred) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) {
        if (w.lattice.sites[i] != id) continue;
        const Coords p = coords(w.lattice, i);
        const std::size_t c = axis == 0 ? p.x : axis == 1 ? p.y : p.z;
        n += pred(c) ? 1 : 0;
    }
    return n;
}

// Trackers equal a recomputation from the site array.
bool trackers_exact(const World& w) {
    World fresh = w;
    recompute_trackers(fresh);
    for (std::size_t c = 0; c < w.cells.size(); ++c) {
        const Cell& a = w.cells[c];
        const Cell& b = fresh.cells[c];
        if (!(a.trackers == b.trackers)) return false;
    }
    return true;
}

}  // namespace

int main() {
    // a 4×2×2 block: cut across x after x0 + 1, eight sites each side
    {
        World w = make_world(10, 6, 6, false);
        const CellId a = add_cell(w, 3, 20.0, 1.5, 30.0, 0.25);
        paint_box(w, 3, 2, 1, 4, 2, 2, a);
        recompute_trackers(w);
        const std::vector<CellId> born = divide_cells(w, 16.0, 9.0);
        CHECK(born == std::vector<CellId>({2}));
        CHECK_EQ(w.cells.size(), 3u);
        CHECK_EQ(w.cells[a].trackers.volume, 8);
        CHECK_EQ(w.cells[2].trackers.volume, 8);
        CHECK_EQ(count_sites(w, a, 0, [](std::size_t x) { return x <= 4; }), 8u);
        CHECK_EQ(count_sites(w, 2, 0, [](std::size_t x) { return x >= 5; }), 8u);
        const Cell& d = w.cells[2];
        CHECK(d.id == 2 && d.cell_type == 3 && d.target_volume == 9.0 && d.lambda_volume == 1.5 &&
              d.target_surface == 30.0 && d.lambda_surface == 0.25);
        CHECK(w.cells[a].target_volume == 9.0 && w.cells[a].lambda_volume == 1.5);
        CHECK(w.surface_active);
        CHECK(trackers_exact(w));
    }

    // ties: a 2×2×2 cube goes to x; a 1×3×3 slab (y and z equal) goes to y
    {
        World w = make_world(8, 8, 8, false);
        const CellId cube = add_cell(w, 1, 8.0, 1.0, 0.0, 0.0);
        const CellId slab = add_cell(w, 1, 8.0, 1.0, 0.0, 0.0);
        paint_box(w, 1, 1, 1, 2, 2, 2, cube);
        paint_box(w, 5, 3, 3, 1, 3, 3, slab);
        recompute_trackers(w);
        const std::vector<CellId> born = divide_cells(w, 8.0, 4.0);
        CHECK(born == std::vector<CellId>({3, 4}));
        CHECK_EQ(count_sites(w, cube, 0, [](std::size_t x) { return x == 1; }), 4u);
        CHECK_EQ(count_sites(w, 3, 0, [](std::size_t x) { return x == 2; }), 4u);
        CHECK(w.cells[cube].trackers.volume == 4 && w.cells[3].trackers.volume == 4);
        // y from 3 to 5, cut at 4: the middle layer stays with the parent
        CHECK_EQ(count_sites(w, slab, 1, [](std::size_t y) { return y <= 4; }), 6u);
        CHECK_EQ(count_sites(w, 4, 1, [](std::size_t y) { return y == 5; }), 3u);
        CHECK(w.cells[slab].trackers.volume == 6 && w.cells[4].trackers.volume == 3);
    }

    // a 1×1×3 column: z is strictly longest, the middle layer stays
    {
        World w = make_world(3, 3, 5, true);
        const CellId a = add_cell(w, 2, 3.0, 1.0, 0.0, 0.0);
        paint_box(w, 1, 1, 1, 1, 1, 3, a);
        recompute_trackers(w);
        CHECK(divide_cells(w, 3.0, 1.5) == std::vector<CellId>({2}));
        CHECK(w.lattice.sites[site(w, 1, 1, 1)] == a && w.lattice.sites[site(w, 1, 1, 2)] == a);
        CHECK(w.lattice.sites[site(w, 1, 1, 3)] == 2);
        CHECK(w.cells[a].trackers.volume == 2 && w.cells[2].trackers.volume == 1);
        CHECK(trackers_exact(w));
    }

    // a cell straddling a periodic face is cut in raw coordinates: its box
    // spans the gap (x 0..5, cut at 2)
    {
        World w = make_world(6, 1, 1, true);
        const CellId a = add_cell(w, 1, 3.0, 1.0, 0.0, 0.0);
        paint(w, 0, a);
        paint(w, 1, a);
        paint(w, 5, a);
        recompute_trackers(w);
        CHECK(divide_cells(w, 3.0, 1.0) == std::vector<CellId>({2}));
        CHECK(w.lattice.sites == std::vector<CellId>({a, a, 0, 0, 0, 2}));
    }

    // candidates in registry order, daughters in candidate order, each a
    // copy of its own parent; cells below the threshold are left alone
    {
        World w = make_world(12, 3, 1, false);
        const CellId a = add_cell(w, 1, 5.0, 1.0, 0.0, 0.0);
        const CellId small = add_cell(w, 2, 5.0, 2.0, 0.0, 0.0);
        const CellId b = add_cell(w, 3, 5.0, 3.0, 0.0, 0.0);
        paint_box(w, 0, 0, 0, 4, 1, 1, a);
        paint_box(w, 5, 0, 0, 2, 1, 1, small);
        paint_box(w, 0, 1, 0, 12, 2, 1, b);
        recompute_trackers(w);
        CHECK(divide_cells(w, 4.0, 7.0) == std::vector<CellId>({4, 5}));
        CHECK(w.cells[4].cell_type == 1 && w.cells[4].lambda_volume == 1.0);
        CHECK(w.cells[5].cell_type == 3 && w.cells[5].lambda_volume == 3.0);
        CHECK(w.cells[small].target_volume == 5.0 && w.cells[small].trackers.volume == 2);
        CHECK(w.cells[a].trackers.volume == 2 && w.cells[4].trackers.volume == 2);
        // b spans x 0..11 and y 1..2: cut across x after x = 5
        CHECK(w.cells[b].trackers.volume == 12 && w.cells[5].trackers.volume == 12);
        CHECK_EQ(count_sites(w, 5, 0, [](std::size_t x) { return x >= 6; }), 12u);
        CHECK(!w.surface_active);
    }

    // nothing qualifies (or a NaN threshold): empty list, no recomputation,
    // so trackers left stale on purpose stay stale
    {
        World w = make_world(4, 4, 1, false);
        const CellId a = add_cell(w, 1, 5.0, 1.0, 0.0, 0.0);
        paint_box(w, 0, 0, 0, 2, 2, 1, a);
        recompute_trackers(w);
        paint(w, site(w, 3, 3, 0), a);  // trackers now stale: volume still 4
        CHECK(divide_cells(w, 5.0, 1.0).empty());
        CHECK(divide_cells(w, std::nan(""), 1.0).empty());
        CHECK_EQ(w.cells.size(), 2u);
        CHECK_EQ(w.cells[a].trackers.volume, 4);
        CHECK(w.cells[a].target_volume == 5.0);
    }

    // volume 1 at threshold 1: a daughter without sites, still returned;
    // threshold 0 admits every cell but the medium, removed cells included
    {
        World w = make_world(4, 4, 1, false);
        const CellId a = add_cell(w, 1, 5.0, 1.0, 0.0, 0.0);
        const CellId gone = add_cell(w, 1, 5.0, 1.0, 0.0, 0.0);
        paint(w, 5, a);
        recompute_trackers(w);
        CHECK(divide_cells(w, 1.0, 2.0) == std::vector<CellId>({3}));
        CHECK(w.cells[a].trackers.volume == 1 && w.cells[3].trackers.volume == 0);
        CHECK_EQ(w.lattice.sites[5], a);
        CHECK(divide_cells(w, 0.0, 2.0) == std::vector<CellId>({4, 5, 6}));
        CHECK(w.cells[gone].trackers.volume == 0 && w.cells[5].trackers.volume == 0 && w.cells[6].trackers.volume == 0);
        CHECK(divide_cells(w, -3.0, 2.0).size() == 6u);
        CHECK_EQ(w.cells[MEDIUM].trackers.volume, 15);
        CHECK(trackers_exact(w));
    }

    // two calls in a row: the daughters of the first take part in the second
    {
        World w = make_world(6, 2, 1, false);
        const CellId a = add_cell(w, 1, 8.0, 1.0, 0.0, 0.0);
        paint_box(w, 0, 0, 0, 4, 2, 1, a);
        recompute_trackers(w);
        CHECK(divide_cells(w, 4.0, 4.0) == std::vector<CellId>({2}));
        CHECK(divide_cells(w, 4.0, 2.0) == std::vector<CellId>({3, 4}));
        // 4×2 → x halves → each 2×2 tied, cut across x again: four 1×2 columns
        for (CellId c = 1; c <= 4; ++c) CHECK(w.cells[c].trackers.volume == 2 && w.cells[c].target_volume == 2.0);
        CHECK(w.lattice.sites[0] == a && w.lattice.sites[1] == 3 && w.lattice.sites[2] == 2 &&
              w.lattice.sites[3] == 4);
        CHECK(divide_cells(w, 4.0, 1.0).empty());
    }

    // removal: sites become medium, trackers recomputed, records kept
    {
        World w = make_world(5, 5, 1, false);
        const CellId a = add_cell(w, 1, 4.0, 2.0, 8.0, 0.5);
        const CellId b = add_cell(w, 2, 4.0, 2.0, 0.0, 0.0);
        paint_box(w, 0, 0, 0, 2, 2, 1, a);
        paint_box(w, 2, 0, 0, 2, 2, 1, b);
        recompute_trackers(w);
        remove_cells(w, {a, a, 0, 99});
        for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) CHECK(w.lattice.sites[i] != a);
        CHECK(w.cells[a].trackers.volume == 0 && w.cells[a].trackers.surface == 0 && w.cells[a].trackers.sum_x == 0.0);
        CHECK(w.cells[a].cell_type == 1 && w.cells[a].target_volume == 4.0 && w.cells[a].lambda_surface == 0.5);
        CHECK(w.cells[b].trackers.volume == 4);
        CHECK_EQ(w.cells[MEDIUM].trackers.volume, 21);
        CHECK(trackers_exact(w));

        // [] changes nothing, not even stale trackers
        paint(w, 24, b);
        remove_cells(w, {});
        CHECK_EQ(w.cells[b].trackers.volume, 4);
        // [0] changes no site but recomputes
        const std::vector<CellId> before = w.lattice.sites;
        remove_cells(w, {0});
        CHECK(w.lattice.sites == before);
        CHECK_EQ(w.cells[b].trackers.volume, 5);
        // a removed cell divides no more at a positive threshold
        CHECK(divide_cells(w, 1.0, 1.0) == std::vector<CellId>({3}));
    }

    // a site holding an unregistered id: the recomputation refuses it
    {
        World w = make_world(3, 1, 1, false);
        paint(w, 1, 7);
        CHECK(tessaly_test::throws<EngineError>([&] { remove_cells(w, {1}); }, "not registered"));
    }

    // chosen division of an 8×2 cell straddling the periodic x face of a
    // 10×6 box: unwrapped x 7..14, centroid (10.5, 2.5)
    {
        World w = make_world(10, 6, 1, true);
        const CellId a = add_cell(w, 2, 16.0, 1.0, 0.0, 0.0);
        for (const std::size_t x : {7, 8, 9, 0, 1, 2, 3, 4}) {
            paint(w, site(w, x, 2, 0), a);
            paint(w, site(w, x, 3, 0), a);
        }
        recompute_trackers(w);
        const std::array<double, 3> major = principal_axis(w, a, true);
        CHECK(std::fabs(std::fabs(major[0]) - 1.0) < 1e-12 && major[1] == 0.0);
        const std::array<double, 3> minor = principal_axis(w, a, false);
        CHECK(minor[0] == 0.0 && std::fabs(minor[1]) == 1.0);
        CHECK(sites_beyond(w, a, {0.0, 0.0, 1.0}) == 0);
        const CellId d = divide_cell(w, a, {1.0, 0.0, 0.0}, 7.0, 9.0);
        CHECK_EQ(count_sites(w, d, 0, [](std::size_t x) { return x >= 1 && x <= 4; }), 8u);
        CHECK_EQ(count_sites(w, a, 0, [](std::size_t x) { return x == 0 || x >= 7; }), 8u);
        CHECK(w.cells[d].cell_type == 2 && w.cells[d].target_volume == 9.0 && w.cells[a].target_volume == 7.0);
        CHECK(trackers_exact(w));
    }

    // a diagonal line: major axis (1, 1)/√2, minor (1, −1)/√2, up to sign
    {
        World w = make_world(8, 8, 1, false);
        const CellId a = add_cell(w, 1, 6.0, 1.0, 0.0, 0.0);
        for (std::size_t k = 1; k < 7; ++k) paint(w, site(w, k, k, 0), a);
        const std::array<double, 3> major = principal_axis(w, a, true);
        const std::array<double, 3> minor = principal_axis(w, a, false);
        CHECK(std::fabs(major[0] * major[1] - 0.5) < 1e-12 && std::fabs(minor[0] * minor[1] + 0.5) < 1e-12);
        CHECK_EQ(sites_beyond(w, a, major), 3);
    }

    // ---- chosen divisions in a running world ----

    // a stepped sorting world with the per-cell state a division carries
    const auto stepped = [](std::array<std::size_t, 3> dims, bool periodic) {
        World w = tessaly_test::sorting_world({dims, periodic, 2, 0.5});
        add_field(w, "c", 0.1, 0.01);
        set_secretion(w, 0, 1, 1.0);
        set_cell_secretion_scale(w, 0, 3, 0.01);
        set_cell_secretion_scale(w, 0, 8, 2.0);
        set_persistence(w, 1, 1.0, 4, 0.5);
        set_tracking(w, true);
        set_cell_frozen(w, 5, true);
        add_cell_attribute(w, "mass", 1.0, OnDivide::split);
        Cpm cpm(std::move(w), 5);
        step(cpm, 6);
        return cpm;
    };
    const auto payload = [](const Cpm& cpm) { return encode_payload(cpm.world, true, cpm.rng); };
    const std::array<double, 3> tilted{1.0, 0.4, 0.2};

    // a division from the cell's own sites gives the bits of one from the
    // whole lattice, through every kind of normal, on every kind of box
    struct Box {
        std::array<std::size_t, 3> dims;
        bool periodic;
    };
    for (const Box& box : {Box{{40, 36, 1}, false}, Box{{40, 36, 1}, true}, Box{{16, 16, 12}, true},
                           Box{{17, 15, 9}, false}}) {
        Cpm local = stepped(box.dims, box.periodic);
        Cpm whole = local;
        for (CellId c = 1; c < 12; ++c)
            for (const DivisionAxis axis :
                 {DivisionAxis::major, DivisionAxis::random, DivisionAxis::minor, DivisionAxis::given}) {
                whole.world.trackers_exact = false;  // scans the lattice and recomputes every tracker
                const ChosenDivision a = divide_cell(local.world, c, axis, tilted, &local.rng, std::nullopt);
                const ChosenDivision b = divide_cell(whole.world, c, axis, tilted, &whole.rng, std::nullopt);
                CHECK(a.daughter == b.daughter && a.refusal == b.refusal);
            }
        CHECK(local.world.cells.size() > 30u);
        CHECK(payload(local) == payload(whole));
        CHECK(tessaly_test::trackers_exact(local.world));
        step(local, 3);
        step(whole, 3);
        CHECK(payload(local) == payload(whole));
    }

    // a batch gives what the same divisions one by one give
    {
        Cpm batch = stepped({40, 36, 1}, true);
        Cpm single = batch;
        const std::vector<CellId> ids = {7, 2, 11, 3};
        const std::array<double, 2> targets{30.0, 20.0};
        const ChosenDivisions done = divide_cell(batch.world, ids, DivisionAxis::random, {}, &batch.rng, targets);
        const CellId next = static_cast<CellId>(single.world.cells.size());
        CHECK(done.refusal == DivisionRefusal::none &&
              done.daughters == std::vector<CellId>({next, next + 1, next + 2, next + 3}));
        for (std::size_t k = 0; k < ids.size(); ++k)
            CHECK(divide_cell(single.world, ids[k], DivisionAxis::random, {}, &single.rng, targets).daughter ==
                  done.daughters[k]);
        CHECK(payload(batch) == payload(single));
        CHECK(divide_cell(batch.world, std::vector<CellId>{}, DivisionAxis::major, {}, nullptr, std::nullopt).daughters.empty());
    }

    // one refusal refuses the whole batch, and changes nothing
    {
        Cpm cpm = stepped({40, 36, 1}, false);
        const std::vector<std::uint8_t> before = payload(cpm);
        struct Refused {
            std::vector<CellId> ids;
            DivisionAxis axis;
            DivisionRefusal why;
            std::size_t at;
        };
        for (const Refused& r : {Refused{{3, 4, 0}, DivisionAxis::random, DivisionRefusal::not_a_cell, 2},
                                 Refused{{3, 4, 999}, DivisionAxis::random, DivisionRefusal::not_a_cell, 2},
                                 Refused{{3, 4, 3}, DivisionAxis::major, DivisionRefusal::repeated, 2},
                                 Refused{{3, 4}, DivisionAxis::given, DivisionRefusal::out_of_plane, 0}}) {
            const ChosenDivisions done = divide_cell(cpm.world, r.ids, r.axis, {0.0, 0.0, -2.0}, &cpm.rng, std::nullopt);
            CHECK(done.refusal == r.why && done.refused == r.at && done.daughters.empty());
            CHECK(payload(cpm) == before);
        }
        // a normal with a part in the plane is taken in the plane
        CHECK(divide_cell(cpm.world, 3, DivisionAxis::given, {1.0, 0.0, 5.0}, nullptr, std::nullopt).refusal ==
              DivisionRefusal::none);
    }
    {
        // a cell of one site, and a flat pair cut along its own line
        World w = make_world(6, 6, 1, false);
        const CellId big = add_cell(w, 1, 4.0, 1.0, 0.0, 0.0);
        const CellId one = add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        const CellId pair = add_cell(w, 1, 2.0, 1.0, 0.0, 0.0);
        paint_box(w, 0, 0, 0, 2, 2, 1, big);
        paint(w, site(w, 4, 4, 0), one);
        paint_box(w, 3, 0, 0, 2, 1, 1, pair);
        recompute_trackers(w);
        const World before = w;
        const ChosenDivisions small = divide_cell(w, {big, one}, DivisionAxis::major, {}, nullptr, std::nullopt);
        CHECK(small.refusal == DivisionRefusal::too_small && small.refused == 1);
        const ChosenDivisions flat = divide_cell(w, {big, pair}, DivisionAxis::given, {0.0, 1.0, 0.0}, nullptr, std::nullopt);
        CHECK(flat.refusal == DivisionRefusal::one_side_empty && flat.refused == 1);
        CHECK(w.cells.size() == before.cells.size() && tessaly_test::same_world(w, before));
    }

    // a daughter of a chosen division takes its parent's secretion scale (or
    // none, whatever its id held before), frozen flag and track; one of
    // divide_cells starts without a scale
    {
        Cpm cpm = stepped({40, 36, 1}, true);
        World& w = cpm.world;
        const CellId next = static_cast<CellId>(w.cells.size());
        set_cell_secretion_scale(w, 0, next + 1, 7.0);  // set before the id is a cell's
        const ChosenDivisions done = divide_cell(w, {3, 2, 5}, DivisionAxis::major, {}, nullptr, std::nullopt);
        const std::unordered_map<CellId, double>& scale = w.fields[0].secretion_scale;
        CHECK(scale.at(next) == 0.01 && scale.count(next + 1) == 0 && scale.count(next + 2) == 0);
        CHECK(is_frozen(w.terms.frozen, next + 2) && !is_frozen(w.terms.frozen, next));
        CHECK(w.terms.tracks.position[next] == w.terms.tracks.position[3]);
        CHECK(w.terms.persistence.direction[next + 1] == w.terms.persistence.direction[2]);
        CHECK(done.daughters.size() == 3u);
        World t = w;
        const std::int64_t volume = t.cells[8].trackers.volume;
        const std::vector<CellId> born = divide_cells(t, static_cast<double>(volume), 10.0);
        CHECK(!born.empty());
        for (const CellId d : born) CHECK(t.fields[0].secretion_scale.count(d) == 0);
    }

    // an allocation failing at any point of a batch leaves the world and the
    // generator as they were; the call then succeeds with the same result
    {
        Cpm cpm = stepped({40, 36, 1}, true);
        Cpm clean = cpm;
        const std::vector<std::uint8_t> before = payload(cpm);
        const std::vector<CellId> ids = {3, 5, 8};
        const ChosenDivisions expected = divide_cell(clean.world, ids, DivisionAxis::random, {}, &clean.rng, std::nullopt);
        int failed = 0;
        for (long k = 0;; ++k) {
            ChosenDivisions done;
            bool threw = false;
            allocations_left = k;
            try {
                done = divide_cell(cpm.world, ids, DivisionAxis::random, {}, &cpm.rng, std::nullopt);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            allocations_left = -1;
            if (!threw) {
                CHECK(done.daughters == expected.daughters);
                break;
            }
            ++failed;
            CHECK(payload(cpm) == before);
        }
        CHECK(failed > 10);
        CHECK(payload(cpm) == payload(clean));
    }

    return tessaly_test::finish();
}
