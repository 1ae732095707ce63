#include "world.hpp"

#include <cmath>

#include "error.hpp"

namespace tessaly {

namespace {

inline bool any_set(const std::vector<std::uint8_t>& flags) {
    for (const std::uint8_t f : flags)
        if (f) return true;
    return false;
}

// Adds (sign +1) or removes (sign −1) one site at (x, y, z) from a cell's
// volume and coordinate sums. Every term is an integer-valued double and
// a − b equals a + (−b) exactly, so both directions keep the sums exact.
inline void count_site(Cell& c, double x, double y, double z, double sign) {
    c.volume += static_cast<std::int64_t>(sign);
    c.sum_x += sign * x;
    c.sum_y += sign * y;
    c.sum_z += sign * z;
    c.sum_xx += sign * (x * x);
    c.sum_yy += sign * (y * y);
    c.sum_zz += sign * (z * z);
    c.sum_xy += sign * (x * y);
    c.sum_xz += sign * (x * z);
    c.sum_yz += sign * (y * z);
}

inline void note_surface_lambda(World& w, double lambda_surface) {
    if (lambda_surface != 0.0) w.surface_active = true;  // a NaN counts as non-zero
}

}  // namespace

World::World(Lattice lat, double t) : lattice(std::move(lat)), contact(1), temperature(t) {
    cells.push_back(Cell{});  // MEDIUM: every member 0
}

void refresh_guards(World& w) {
    w.connectivity_on = w.connectivity_medium || any_set(w.connectivity);
    w.membrane_on = !w.membrane_distance.empty() && any_set(w.membrane_anchored);
    w.junction_on = w.junction_lambda > 0.0 && any_set(w.junction);
    w.length_on = false;
    for (const double lambda : w.lambda_length) w.length_on = w.length_on || lambda > 0.0;
    w.external_on = false;
    for (const Force& f : w.external)
        w.external_on = w.external_on || f.fx != 0.0 || f.fy != 0.0 || f.fz != 0.0;
    w.chemotaxis_on = false;
    for (const Field& field : w.fields)
        for (const double lambda : field.chemotaxis_lambda) w.chemotaxis_on = w.chemotaxis_on || lambda != 0.0;
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
    note_surface_lambda(w, lambda_surface);
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

void paint(World& w, std::size_t site, CellId id) { set(w.lattice, site, id); }

void set_cell_type(World& w, CellId id, CellType cell_type) { cell_at(w, id).cell_type = cell_type; }

void set_target_volume(World& w, CellId id, double v) { cell_at(w, id).target_volume = v; }

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

    w.surface_active = false;
    for (Cell& cell : w.cells) {
        note_surface_lambda(w, cell.lambda_surface);
        cell.sum_xx = cell.sum_yy = cell.sum_zz = cell.sum_xy = cell.sum_xz = cell.sum_yz = 0.0;
        cell.volume = cell.surface = 0;
        cell.sum_x = cell.sum_y = cell.sum_z = 0.0;
    }
    if (n == 0) return;  // a zero-length axis: the other axes' empty rows are not walked
    SiteList nb;
    std::size_t i = 0;
    for (std::size_t z = 0; z < w.lattice.nz; ++z)
        for (std::size_t y = 0; y < w.lattice.ny; ++y)
            for (std::size_t x = 0; x < w.lattice.nx; ++x, ++i) {
                const CellId id = w.lattice.sites[i];
                Cell& cell = w.cells[id];
                count_site(cell, static_cast<double>(x), static_cast<double>(y), static_cast<double>(z), 1.0);
                neighbors_into(w.lattice, i, nb);
                for (const std::size_t j : nb) cell.surface += w.lattice.sites[j] != id;
            }
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

namespace {

// The part of a flip that does not depend on how the surfaces were counted:
// site i leaves cell `old` for cell n in the volumes and coordinate sums.
inline void move_site(World& w, std::size_t i, CellId old, CellId n) {
    const Coords c = coords(w.lattice, i);
    const double x = static_cast<double>(c.x), y = static_cast<double>(c.y), z = static_cast<double>(c.z);
    count_site(w.cells[old], x, y, z, -1.0);
    count_site(w.cells[n], x, y, z, 1.0);
    w.lattice.sites[i] = n;
}

}  // namespace

SurfaceDeltas surface_deltas(const World& w, std::size_t i, CellId n) {
    SiteList nb;
    neighbors_into(w.lattice, i, nb);
    SurfaceDeltas list;
    surface_deltas_into(w, i, n, nb, list);
    return list;
}

void apply_flip_with(World& w, std::size_t i, CellId n, const SurfaceDeltas& deltas) {
    const CellId old = w.lattice.sites[i];
    for (const SurfaceDelta& entry : deltas) w.cells[entry.id].surface += entry.delta;
    move_site(w, i, old, n);
}

void apply_flip_counted(World& w, std::size_t i, CellId n, const SiteList& nb) {
    const CellId* sites = w.lattice.sites.data();
    const CellId old = sites[i];
    std::int64_t total = 0, same_old = 0, same_new = 0;
    for (const std::size_t j : nb) {
        if (j == i) continue;
        const CellId c = sites[j];
        total += 1;
        same_old += c == old;
        same_new += c == n;
    }
    w.cells[old].surface += 2 * same_old - total;
    w.cells[n].surface += total - 2 * same_new;
    move_site(w, i, old, n);
}

void apply_flip(World& w, std::size_t i, CellId n) {
    if (i >= w.lattice.n_sites()) fail("site index out of range");
    const CellId old = w.lattice.sites[i];
    if (n == old) return;
    (void)cell_at(w, old);
    (void)cell_at(w, n);
    const SurfaceDeltas deltas = surface_deltas(w, i, n);
    for (const SurfaceDelta& entry : deltas) (void)cell_at(w, entry.id);
    apply_flip_with(w, i, n, deltas);
}

// ---- junction ----

void set_junction(World& w, CellType cell_type, bool on) {
    if (cell_type >= w.junction.size()) w.junction.resize(std::size_t{cell_type} + 1, 0);
    w.junction[cell_type] = on;
    refresh_guards(w);
}

void set_junction_lambda(World& w, double lambda) {
    w.junction_lambda = lambda;
    refresh_guards(w);
}

namespace {

inline bool forms_junction(const World& w, CellId id) {
    if (id == MEDIUM) return false;
    const CellType t = w.cells[id].cell_type;
    return t < w.junction.size() && w.junction[t];
}

}  // namespace

unsigned pinch_at(const World& w, std::size_t site, std::size_t target, CellId id) {
    const Lattice& lat = w.lattice;
    auto id_of = [&](std::size_t s) { return s == target ? id : lat.sites[s]; };
    if (id_of(site) != MEDIUM) return 0;
    const std::size_t plane = lat.nx * lat.ny;
    const std::size_t pos[3] = {site % lat.nx, (site % plane) / lat.nx, site / plane};
    const std::size_t len[3] = {lat.nx, lat.ny, lat.nz};
    const std::size_t stride[3] = {1, lat.nx, plane};
    const std::size_t axes = lat.nz > 1 ? 3 : 2;
    unsigned count = 0;
    for (std::size_t a = 0; a < axes; ++a) {
        if (pos[a] < 1 || pos[a] + 1 >= len[a]) continue;
        const CellId lo = id_of(site - stride[a]);
        const CellId hi = id_of(site + stride[a]);
        if (lo != MEDIUM && hi != MEDIUM && lo != hi && forms_junction(w, lo) && forms_junction(w, hi)) ++count;
    }
    return count;
}

double delta_junction(const World& w, std::size_t target, CellId n) {
    const Lattice& lat = w.lattice;
    const CellId old = lat.sites[target];
    std::int64_t dp = std::int64_t{pinch_at(w, target, target, n)} - std::int64_t{pinch_at(w, target, target, old)};
    const std::size_t plane = lat.nx * lat.ny;
    const std::size_t x = target % lat.nx, y = (target % plane) / lat.nx, z = target / plane;
    SmallVec<std::size_t, 6> around;
    if (x + 1 < lat.nx) around.push_back(target + 1);
    if (x > 0) around.push_back(target - 1);
    if (y + 1 < lat.ny) around.push_back(target + lat.nx);
    if (y > 0) around.push_back(target - lat.nx);
    if (lat.nz > 1) {
        if (z + 1 < lat.nz) around.push_back(target + plane);
        if (z > 0) around.push_back(target - plane);
    }
    for (const std::size_t s : around)
        if (lat.sites[s] == MEDIUM)
            dp += std::int64_t{pinch_at(w, s, target, n)} - std::int64_t{pinch_at(w, s, target, old)};
    return static_cast<double>(dp) * w.junction_lambda;
}

}  // namespace tessaly
