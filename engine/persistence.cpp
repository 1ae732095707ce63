#include "persistence.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "world.hpp"

namespace tessaly {

Vec3 random_direction(Rng& rng, bool planar) {
    if (planar) {
        const double angle = 2.0 * std::numbers::pi * uniform(rng);
        return {std::cos(angle), std::sin(angle), 0.0};
    }
    const double z = 2.0 * uniform(rng) - 1.0;
    const double phi = 2.0 * std::numbers::pi * uniform(rng);
    const double r = std::sqrt(1.0 - z * z);
    return {r * std::cos(phi), r * std::sin(phi), z};
}

namespace {

double norm(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// One coordinate difference of two neighbouring sites, by minimum image.
inline double step_along(std::size_t a, std::size_t b, std::size_t len, bool periodic) {
    double d = static_cast<double>(a) - static_cast<double>(b);
    if (periodic && len > 2) {
        if (d > 1.0) d -= static_cast<double>(len);
        if (d < -1.0) d += static_cast<double>(len);
    }
    return d;
}

void fit_cells(PersistenceTerm& p, std::size_t n_cells) {
    if (p.direction.size() >= n_cells) return;
    p.direction.resize(n_cells, Vec3{});
    p.has_direction.resize(n_cells, 0);
    p.age.resize(n_cells, 0);
    p.history.resize(n_cells * p.ring, Vec3{});
}

}  // namespace

namespace {

// Positions kept per cell for these parameters: the largest delta_t + 1 of the types that are on.
std::size_t ring_for(const std::vector<double>& lambda, const std::vector<std::uint32_t>& delta_t) {
    std::size_t ring = 1;
    for (std::size_t t = 0; t < lambda.size(); ++t)
        if (lambda[t] > 0.0) ring = std::max<std::size_t>(ring, std::size_t{delta_t[t]} + 1);
    return ring;
}

}  // namespace

void refresh(PersistenceTerm& p) {
    p.on = false;
    for (const double lambda : p.lambda) p.on = p.on || lambda > 0.0;
    const std::size_t ring = ring_for(p.lambda, p.delta_t);
    // a longer window starts every history afresh; allocated before anything changes
    if (ring > p.ring) {
        std::vector<Vec3> history(p.direction.size() * ring, Vec3{});
        std::vector<std::uint64_t> age(p.direction.size(), 0);
        p.ring = ring;
        p.history.swap(history);
        p.age.swap(age);
        p.steps = 0;
    }
}

void set_persistence(World& w, CellType cell_type, double lambda, std::uint32_t delta_t, double persist) {
    PersistenceTerm& p = w.terms.persistence;
    // the new lists and histories first, so that running out of memory changes nothing
    const std::size_t n_types = std::max(p.lambda.size(), std::size_t{cell_type} + 1);
    std::vector<double> lambdas(p.lambda), persists(p.persist);
    std::vector<std::uint32_t> delta_ts(p.delta_t);
    lambdas.resize(n_types, 0.0);
    delta_ts.resize(n_types, 0);
    persists.resize(n_types, 0.0);
    lambdas[cell_type] = lambda;
    delta_ts[cell_type] = delta_t;
    persists[cell_type] = persist;
    const std::size_t ring = ring_for(lambdas, delta_ts);
    std::vector<Vec3> history;
    std::vector<std::uint64_t> age;
    if (ring > p.ring) {
        history.assign(p.direction.size() * ring, Vec3{});
        age.assign(p.direction.size(), 0);
    }
    // commit: nothing below allocates
    p.lambda.swap(lambdas);
    p.delta_t.swap(delta_ts);
    p.persist.swap(persists);
    if (ring > p.ring) {
        p.ring = ring;
        p.history.swap(history);
        p.age.swap(age);
        p.steps = 0;
    }
    refresh_terms(w);
}

void seed_persistence(PersistenceTerm& p, std::uint64_t seed) { p.rng = seed_from_u64(seed ^ 0x9E3779B97F4A7C15ULL); }

double delta_persistence(const World& w, std::size_t target, std::size_t source, CellId n) {
    const PersistenceTerm& p = w.terms.persistence;
    if (n == MEDIUM || n >= p.direction.size()) return 0.0;
    const CellType t = w.cells[n].cell_type;
    if (t >= p.lambda.size() || !(p.lambda[t] > 0.0)) return 0.0;
    const Lattice& lat = w.lattice;
    const Coords a = coords(lat, target), b = coords(lat, source);
    const Vec3& u = p.direction[n];
    const double dx = step_along(a.x, b.x, lat.nx, lat.periodic[0]);
    const double dy = step_along(a.y, b.y, lat.ny, lat.periodic[1]);
    const double dz = step_along(a.z, b.z, lat.nz, lat.periodic[2]);
    return -p.lambda[t] * (u[0] * dx + u[1] * dy + u[2] * dz);
}

void persistence_first_directions(PersistenceTerm& p, const World& w) {
    fit_cells(p, w.cells.size());
    const bool planar = w.lattice.nz == 1;
    for (std::size_t id = 1; id < w.cells.size(); ++id) {
        const CellType t = w.cells[id].cell_type;
        if (p.has_direction[id] || t >= p.lambda.size() || !(p.lambda[t] > 0.0)) continue;
        p.direction[id] = random_direction(p.rng, planar);
        p.has_direction[id] = 1;
        p.age[id] = 0;
    }
}

void persistence_step(PersistenceTerm& p, const World& w, const Tracks& tracks) {
    fit_cells(p, w.cells.size());
    const bool planar = w.lattice.nz == 1;
    const std::size_t slot = static_cast<std::size_t>(p.steps % p.ring);
    for (std::size_t id = 1; id < w.cells.size(); ++id) {
        const CellType t = w.cells[id].cell_type;
        if (t >= p.lambda.size() || !(p.lambda[t] > 0.0)) continue;
        Vec3& u = p.direction[id];
        const Vec3 now = id < tracks.position.size() ? tracks.position[id] : Vec3{};
        p.history[id * p.ring + slot] = now;
        if (!p.has_direction[id]) continue;  // drawn before the next step
        p.age[id] += 1;
        const std::uint32_t span = p.delta_t[t];
        if (p.age[id] <= span) continue;
        const Vec3& then = p.history[id * p.ring + static_cast<std::size_t>((p.steps + p.ring - span) % p.ring)];
        const Vec3 d{now[0] - then[0], now[1] - then[1], now[2] - then[2]};
        const double length = norm(d);
        if (length > 0.0) {
            const double q = p.persist[t];
            const Vec3 v{(1.0 - q) * (d[0] / length) + q * u[0], (1.0 - q) * (d[1] / length) + q * u[1],
                         (1.0 - q) * (d[2] / length) + q * u[2]};
            const double vl = norm(v);
            if (vl > 0.0) {
                u = {v[0] / vl, v[1] / vl, v[2] / vl};
                continue;
            }
        }
        u = random_direction(p.rng, planar);
    }
    p.steps += 1;
}

// ---- checkpoint ----

void write(ByteWriter& out, const PersistenceTerm& p) {
    if (p.lambda.empty() && p.direction.empty()) return;
    out.f64s(p.lambda);
    out.u64(p.delta_t.size());
    for (const std::uint32_t d : p.delta_t) out.u32(d);
    out.f64s(p.persist);
    out.u64(p.ring);
    out.u64(p.steps);
    out.u64(p.direction.size());
    for (std::size_t id = 0; id < p.direction.size(); ++id) {
        for (const double c : p.direction[id]) out.f64(c);
        out.boolean(p.has_direction[id] != 0);
        out.u64(p.age[id]);
        for (std::size_t k = 0; k < p.ring; ++k)
            for (const double c : p.history[id * p.ring + k]) out.f64(c);
    }
    for (const std::uint64_t s : p.rng.s) out.u64(s);
}

void read(ByteReader& in, PersistenceTerm& p, const World& w) {
    p.lambda = in.f64s();
    p.delta_t.resize(in.count(4));
    for (std::uint32_t& d : p.delta_t) d = in.u32();
    p.persist = in.f64s();
    if (p.delta_t.size() != p.lambda.size() || p.persist.size() != p.lambda.size())
        damaged("the persistence lists differ in length");
    std::size_t ring = 1;
    for (std::size_t t = 0; t < p.lambda.size(); ++t)
        if (p.lambda[t] > 0.0) ring = std::max<std::size_t>(ring, std::size_t{p.delta_t[t]} + 1);
    const std::uint64_t stored_ring = in.u64();
    if (stored_ring < ring || stored_ring > (std::uint64_t{1} << 33)) damaged("a direction history of the wrong length");
    p.ring = static_cast<std::size_t>(stored_ring);
    p.steps = in.u64();
    // each cell: u, a flag, an age and `ring` positions
    const std::size_t n = in.count(24 + 1 + 8 + 24 * p.ring);
    if (n > w.cells.size()) damaged("directions beyond the registry");
    p.direction.assign(n, Vec3{});
    p.has_direction.assign(n, 0);
    p.age.assign(n, 0);
    p.history.assign(n * p.ring, Vec3{});
    for (std::size_t id = 0; id < n; ++id) {
        for (double& c : p.direction[id]) c = in.f64();
        p.has_direction[id] = in.boolean();
        p.age[id] = in.u64();
        for (std::size_t k = 0; k < p.ring; ++k)
            for (double& c : p.history[id * p.ring + k]) c = in.f64();
    }
    bool all_zero = true;
    for (std::uint64_t& s : p.rng.s) {
        s = in.u64();
        all_zero = all_zero && s == 0;
    }
    if (all_zero) damaged("a generator state of zeros");
}

void persistence_division(PersistenceTerm& p, CellId parent, CellId daughter) {
    if (parent >= p.direction.size()) return;  // no direction yet: the daughter draws its own
    fit_cells(p, std::size_t{std::max(parent, daughter)} + 1);
    p.direction[daughter] = p.direction[parent];
    p.has_direction[daughter] = p.has_direction[parent];
    p.age[daughter] = 0;
}

}  // namespace tessaly
