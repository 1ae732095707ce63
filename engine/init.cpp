#include "init.hpp"

#include <algorithm>
#include <utility>

#include "energy.hpp"
#include "error.hpp"
#include "world.hpp"

namespace tessaly {

void record_type(World& w, CellType t) { w.setup.max_type = std::max(w.setup.max_type, t); }

void record_contact(World& w, CellType a, CellType b, double j) {
    record_type(w, a);
    record_type(w, b);
    w.setup.pending_contacts.push_back({a, b, j});
}

void finish_setup(World& w) {
    // side max_type + 1 in a width that cannot wrap: 65536 types when max_type is 65535
    ContactMatrix contact(static_cast<std::size_t>(w.setup.max_type) + 1);
    for (const PendingContact& c : w.setup.pending_contacts) set_pair(contact, c.type_a, c.type_b, c.j);
    // everything that can fail runs before the table is installed
    recompute_trackers(w);
    set_contact_matrix(w, std::move(contact));
}

namespace {

bool box_empty(const SiteBox& box) {
    return box.lo[0] >= box.hi[0] || box.lo[1] >= box.hi[1] || box.lo[2] >= box.hi[2];
}

}  // namespace

bool box_fits(const Lattice& lattice, const SiteBox& box) {
    return box_empty(box) || (box.hi[0] <= lattice.nx && box.hi[1] <= lattice.ny && box.hi[2] <= lattice.nz);
}

void paint_box(World& w, const SiteBox& box, CellId id) {
    // an empty box may name any range; no row of it is walked
    if (box_empty(box)) return;
    // a box reaching outside would wrap into other rows or past the array
    if (!box_fits(w.lattice, box)) fail("box reaches outside the lattice");
    const std::size_t nx = w.lattice.nx, ny = w.lattice.ny;
    for (std::size_t z = box.lo[2]; z < box.hi[2]; ++z)
        for (std::size_t y = box.lo[1]; y < box.hi[1]; ++y)
            for (std::size_t x = box.lo[0]; x < box.hi[0]; ++x) paint(w, x + nx * (y + ny * z), id);
}

std::unordered_map<std::uint32_t, CellId> seed_from_labels(World& w, const std::vector<std::uint32_t>& labels,
                                                           const std::unordered_map<std::uint32_t, CellType>& types,
                                                           CellType default_type, double target_volume,
                                                           double lambda_volume) {
    if (labels.size() != w.lattice.n_sites()) fail("labels length must equal n_sites");
    std::unordered_map<std::uint32_t, CellId> ids;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const std::uint32_t label = labels[i];
        if (label == 0) continue;  // the site keeps what it holds
        auto found = ids.find(label);
        if (found == ids.end()) {
            const auto typed = types.find(label);
            const CellType t = typed == types.end() ? default_type : typed->second;
            found = ids.emplace(label, add_cell(w, t, target_volume, lambda_volume, 0.0, 0.0)).first;
        }
        w.lattice.sites[i] = found->second;
    }
    return ids;
}

}  // namespace tessaly
