#include "world.hpp"

#include <cmath>

#include "energy.hpp"
#include "error.hpp"

namespace tessaly {

namespace {

inline void note_surface_lambda(World& w, double lambda_surface) {
    if (lambda_surface != 0.0) w.surface_active = true;  // a NaN counts as non-zero
}

}  // namespace

World::World(Lattice lat, double t) : lattice(std::move(lat)), contact(1), temperature(t) {
    cells.push_back(Cell{});  // MEDIUM: every member 0
}

// ---- registry ----

CellId add_cell(World& w, CellType cell_type, double target_volume, double lambda_volume, double target_surface,
                double lambda_surface) {
    if (w.cells.size() > 0xFFFFFFFFu) fail("cell registry is full");
    Cell cell{};
    cell.id = static_cast<CellId>(w.cells.size());
    cell.cell_type = cell_type;
    cell.target_volume = target_volume;
    cell.lambda_volume = lambda_volume;
    cell.target_surface = target_surface;
    cell.lambda_surface = lambda_surface;
    w.cells.push_back(cell);
    add_state_row(w.state);
    note_surface_lambda(w, lambda_surface);
    // a row for the neighbour graph; without room the graph is rebuilt when next read
    if (w.neighbors.on) try {
            w.neighbors.rows.emplace_back();
        } catch (...) {
            w.neighbors.on = false;
        }
    return cell.id;
}

Cell& cell_at(World& w, CellId id) {
    if (id >= w.cells.size()) fail("cell id " + std::to_string(id) + " is not registered");
    return w.cells[id];
}

const Cell& cell_at(const World& w, CellId id) {
    if (id >= w.cells.size()) fail("cell id " + std::to_string(id) + " is not registered");
    return w.cells[id];
}

// (set-up painting may name ids not yet registered: the neighbour graph is
// dropped, and built again when next read)
void paint(World& w, std::size_t site, CellId id) {
    set(w.lattice, site, id);
    w.trackers_exact = false;
    w.neighbors.on = false;
}

void set_cell_type(World& w, CellId id, CellType cell_type) { cell_at(w, id).cell_type = cell_type; }

void set_target_volume(World& w, CellId id, double v) { cell_at(w, id).target_volume = v; }

void set_cell_params(World& w, CellId id, const CellParams& params) {
    Cell& cell = cell_at(w, id);
    if (params.target_volume) cell.target_volume = *params.target_volume;
    if (params.lambda_volume) cell.lambda_volume = *params.lambda_volume;
    if (params.target_surface) cell.target_surface = *params.target_surface;
    if (!params.lambda_surface) return;
    const bool was_on = cell.lambda_surface != 0.0;
    cell.lambda_surface = *params.lambda_surface;
    if (cell.lambda_surface != 0.0) {
        w.surface_active = true;
    } else if (was_on) {
        // this cell may have been the only one: the registry is asked again
        w.surface_active = false;
        for (const Cell& c : w.cells) note_surface_lambda(w, c.lambda_surface);
    }
}

// ---- batches of cells ----

void check_registered(const World& w, const std::vector<CellId>& ids) {
    for (const CellId id : ids)
        if (id >= w.cells.size()) unregistered(id);
}

void set_cell_params(World& w, const std::vector<CellId>& ids, const CellParamColumns& params) {
    check_registered(w, ids);
    for (const auto* column : {&params.target_volume, &params.lambda_volume, &params.target_surface,
                               &params.lambda_surface})
        if (*column && (*column)->size() != ids.size()) fail("set_cell_params: a column is not one value per id");
    bool switched_off = false;  // some cell's λS went from non-zero to 0
    for (std::size_t k = 0; k < ids.size(); ++k) {
        Cell& cell = w.cells[ids[k]];
        if (params.target_volume) cell.target_volume = (*params.target_volume)[k];
        if (params.lambda_volume) cell.lambda_volume = (*params.lambda_volume)[k];
        if (params.target_surface) cell.target_surface = (*params.target_surface)[k];
        if (!params.lambda_surface) continue;
        switched_off = switched_off || (cell.lambda_surface != 0.0 && (*params.lambda_surface)[k] == 0.0);
        cell.lambda_surface = (*params.lambda_surface)[k];
        note_surface_lambda(w, cell.lambda_surface);
    }
    if (switched_off) {
        // that cell may have been the only one: the registry is asked again, once
        w.surface_active = false;
        for (const Cell& c : w.cells) note_surface_lambda(w, c.lambda_surface);
    }
}

void set_cell_types(World& w, const std::vector<CellId>& ids, const std::vector<CellType>& types) {
    check_registered(w, ids);
    if (types.size() != ids.size()) fail("set_cell_types: not one type per id");
    for (std::size_t k = 0; k < ids.size(); ++k) w.cells[ids[k]].cell_type = types[k];
}

void grow(World& w, CellType cell_type, double rate) {
    for (Cell& cell : w.cells)
        if (cell.id != MEDIUM && cell.cell_type == cell_type) cell.target_volume += rate;
}

void recompute_trackers(World& w) {
    // Every id is checked before anything changes, so a failed recomputation
    // leaves the world as it was.
    const std::size_t n = w.lattice.n_sites();
    for (std::size_t i = 0; i < n; ++i)
        if (w.lattice.sites[i] >= w.cells.size())
            fail("site " + std::to_string(i) + " holds cell id " + std::to_string(w.lattice.sites[i]) +
                 ", which is not registered");
    // the neighbour graph, while kept, from the sites as they are now
    rebuild_neighbors(w);

    w.surface_active = false;
    for (Cell& cell : w.cells) {
        note_surface_lambda(w, cell.lambda_surface);
        cell.trackers = Trackers{};
    }
    w.trackers_exact = n == 0;  // a zero-length axis: the other axes' empty rows are not walked
    if (n == 0) return;
    SiteList nb;
    std::size_t i = 0;
    for (std::size_t z = 0; z < w.lattice.nz; ++z)
        for (std::size_t y = 0; y < w.lattice.ny; ++y)
            for (std::size_t x = 0; x < w.lattice.nx; ++x, ++i) {
                const CellId id = w.lattice.sites[i];
                Cell& cell = w.cells[id];
                add_site(cell.trackers, static_cast<double>(x), static_cast<double>(y), static_cast<double>(z));
                neighbors_into(w.lattice, i, nb);
                for (const std::size_t j : nb) cell.trackers.surface += w.lattice.sites[j] != id;
            }
    w.trackers_exact = true;
    // the links' frames are trackers too
    if (w.terms.links.on) sync_link_frames(w, w.terms.links);
}

std::vector<std::pair<CellType, std::int64_t>> contact_area_by_type(const World& w, CellId id) {
    std::vector<std::pair<CellType, std::int64_t>> counts;
    SiteList nb;
    const std::size_t n = w.lattice.n_sites();
    for (std::size_t i = 0; i < n; ++i) {
        if (w.lattice.sites[i] != id) continue;
        neighbors_into(w.lattice, i, nb);
        for (const std::size_t j : nb) {
            const CellId c = w.lattice.sites[j];
            if (c == id) continue;
            const CellType t = cell_at(w, c).cell_type;
            auto it = counts.begin();
            while (it != counts.end() && it->first != t) ++it;
            if (it == counts.end()) {
                counts.emplace_back(t, 1);
            } else {
                it->second += 1;
            }
        }
    }
    return counts;
}

// ---- copy application ----

namespace {

inline void adjust(SurfaceDeltas& list, CellId id, std::int64_t delta) {
    for (SurfaceDelta& entry : list)
        if (entry.id == id) {
            entry.delta += delta;
            return;
        }
    list.push_back({id, delta});
}

}  // namespace

void surface_deltas_into(const World& w, std::size_t i, CellId n, const SiteList& nb, SurfaceDeltas& list) {
    list.clear();
    const std::vector<CellId>& sites = w.lattice.sites;
    const CellId old = sites[i];
    if (n == old) return;
    // A site is never its own neighbour for tracking: entries equal to i
    // (a periodic axis of length 1) change nothing when i changes.
    std::int64_t k_old = 0, k_new = 0;
    for (const std::size_t j : nb) {
        if (j == i) continue;
        k_old += sites[j] != old;
        k_new += sites[j] != n;
    }
    adjust(list, old, -k_old);
    adjust(list, n, k_new);
    for (const std::size_t j : nb) {
        if (j == i) continue;
        const CellId c = sites[j];
        adjust(list, c, std::int64_t{n != c} - std::int64_t{c != old});
    }
    // stable insertion sort by id; the list is short
    for (std::size_t a = 1; a < list.size(); ++a) {
        const SurfaceDelta entry = list[a];
        std::size_t b = a;
        while (b > 0 && list[b - 1].id > entry.id) {
            list[b] = list[b - 1];
            --b;
        }
        list[b] = entry;
    }
}

SurfaceDeltas surface_deltas(const World& w, std::size_t i, CellId n) {
    SiteList nb;
    neighbors_into(w.lattice, i, nb);
    SurfaceDeltas list;
    surface_deltas_into(w, i, n, nb, list);
    return list;
}

void apply_flip(World& w, std::size_t i, CellId n) {
    if (i >= w.lattice.n_sites()) fail("site index out of range");
    const CellId old = w.lattice.sites[i];
    if (n == old) return;
    (void)cell_at(w, old);
    (void)cell_at(w, n);
    const SurfaceDeltas deltas = surface_deltas(w, i, n);
    for (const SurfaceDelta& entry : deltas) (void)cell_at(w, entry.id);
    for (const SurfaceDelta& entry : deltas) w.cells[entry.id].trackers.surface += entry.delta;
    const Coords c = coords(w.lattice, i);
    const double x = static_cast<double>(c.x), y = static_cast<double>(c.y), z = static_cast<double>(c.z);
    remove_site(w.cells[old].trackers, x, y, z);
    add_site(w.cells[n].trackers, x, y, z);
    if (w.neighbors.on) {
        SiteList nb;
        neighbors_into(w.lattice, i, nb);
        contact_changes(w.lattice.sites.data(), i, old, n, nb,
                        [&](CellId a, CellId b, std::int64_t d) { change_contact(w.neighbors, a, b, d); });
    }
    w.lattice.sites[i] = n;
    if (w.terms.links.on) links_after_flip(w, c, old, n);
}

}  // namespace tessaly
