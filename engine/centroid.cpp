#include "centroid.hpp"

#include <cmath>
#include <numbers>

#include "world.hpp"

namespace tessaly {

namespace {

// Calls visit(i, {x, y, z}) for every site in index order.
template <typename Visit>
void for_each_site(const Lattice& lattice, Visit visit) {
    if (lattice.n_sites() == 0) return;
    std::size_t i = 0;
    for (std::size_t z = 0; z < lattice.nz; ++z)
        for (std::size_t y = 0; y < lattice.ny; ++y)
            for (std::size_t x = 0; x < lattice.nx; ++x, ++i) visit(i, std::array<std::size_t, 3>{x, y, z});
}

std::array<std::size_t, 3> lengths(const World& w) { return {w.lattice.nx, w.lattice.ny, w.lattice.nz}; }

// The angle 2πx/len of coordinate x on a periodic axis of length len
double angle_of(std::size_t x, std::size_t len) {
    return 2.0 * std::numbers::pi * static_cast<double>(x) / static_cast<double>(len);
}

// The mean position, wrapped into [0, len), of the angles whose sines and cosines sum to these.
double circular_coordinate(double sum_sin, double sum_cos, std::size_t len) {
    const double l = static_cast<double>(len);
    double r = std::atan2(sum_sin, sum_cos) * l / (2.0 * std::numbers::pi);
    if (r < 0.0) r += l;
    if (r >= l) r -= l;
    return r;
}

// The circular mean, per periodic axis, of every cell that needs a reference.
void circular_references(const World& w, const std::vector<std::uint8_t>& needs, std::vector<Vec3>& reference) {
    const std::array<std::size_t, 3> len = lengths(w);
    std::array<std::vector<double>, 3> cos_of, sin_of;
    for (unsigned a = 0; a < 3; ++a) {
        if (!w.lattice.periodic[a]) continue;
        for (std::size_t x = 0; x < len[a]; ++x) {
            const double theta = angle_of(x, len[a]);
            cos_of[a].push_back(std::cos(theta));
            sin_of[a].push_back(std::sin(theta));
        }
    }
    std::vector<std::array<double, 6>> sums(w.cells.size(), std::array<double, 6>{});
    for_each_site(w.lattice, [&](std::size_t i, std::array<std::size_t, 3> p) {
        const CellId id = w.lattice.sites[i];
        if (id >= needs.size() || !needs[id]) return;
        for (unsigned a = 0; a < 3; ++a) {
            if (!w.lattice.periodic[a]) continue;
            sums[id][2 * a] += cos_of[a][p[a]];
            sums[id][2 * a + 1] += sin_of[a][p[a]];
        }
    });
    for (std::size_t id = 0; id < needs.size(); ++id) {
        if (!needs[id]) continue;
        for (unsigned a = 0; a < 3; ++a)
            if (w.lattice.periodic[a]) reference[id][a] = circular_coordinate(sums[id][2 * a + 1], sums[id][2 * a], len[a]);
    }
}

}  // namespace

CentroidSums centroid_sums(const World& w, const Tracks* tracks) {
    const std::size_t n_cells = w.cells.size();
    CentroidSums out;
    out.volume.assign(n_cells, 0);
    out.sum.assign(n_cells, std::array<std::int64_t, 3>{});
    out.reference.assign(n_cells, Vec3{});
    const bool any_periodic = w.lattice.periodic[0] || w.lattice.periodic[1] || w.lattice.periodic[2];

    // references: the tracked ones, else circular means
    if (any_periodic) {
        std::vector<std::uint8_t> needs(n_cells, 1);
        needs[MEDIUM] = 0;
        if (tracks != nullptr)
            for (std::size_t id = 0; id < n_cells && id < tracks->has_reference.size(); ++id)
                if (tracks->has_reference[id]) {
                    needs[id] = 0;
                    out.reference[id] = tracks->reference[id];
                }
        bool any = false;
        for (const std::uint8_t k : needs) any = any || k != 0;
        if (any) circular_references(w, needs, out.reference);
    }

    // Per cell and periodic axis, the coordinates beyond ref ± L/2 move by
    // ∓L; comparing integers with the bounds lo = ⌈r − L/2⌉ and hi = ⌊r + L/2⌋
    // (x < lo moves up, x > hi down) is the same test.
    std::vector<Unwrapping> unwrap(n_cells);
    for (std::size_t id = 0; id < n_cells; ++id) unwrap[id] = unwrapping_about(w, out.reference[id]);
    // MEDIUM has no centroid: its sites (most of a sparse tissue) are skipped
    const unsigned axes = w.lattice.nz > 1 ? 3 : 2;  // z is 0 on a planar box
    for_each_site(w.lattice, [&](std::size_t i, std::array<std::size_t, 3> p) {
        const CellId id = w.lattice.sites[i];
        if (id == MEDIUM || id >= n_cells) return;
        out.volume[id] += 1;
        for (unsigned a = 0; a < axes; ++a) out.sum[id][a] += unwrap[id](a, p[a]);
    });
    return out;
}

Vec3 circular_mean(const World& w, const std::vector<std::array<std::size_t, 3>>& at) {
    const std::array<std::size_t, 3> len = lengths(w);
    Vec3 r{};
    for (unsigned a = 0; a < 3; ++a) {
        if (!w.lattice.periodic[a]) continue;
        // summed in index order, as circular_references sums them
        double sum_cos = 0.0, sum_sin = 0.0;
        for (const std::array<std::size_t, 3>& p : at) {
            const double theta = angle_of(p[a], len[a]);
            sum_cos += std::cos(theta);
            sum_sin += std::sin(theta);
        }
        r[a] = circular_coordinate(sum_sin, sum_cos, len[a]);
    }
    return r;
}

Unwrapping unwrapping_about(const World& w, const Vec3& reference) {
    const std::array<std::size_t, 3> len = lengths(w);
    Unwrapping u{};
    for (unsigned a = 0; a < 3; ++a) {
        const double half = static_cast<double>(len[a]) / 2.0;
        const bool p = w.lattice.periodic[a];
        u.lo[a] = p ? static_cast<std::int64_t>(std::ceil(reference[a] - half)) : INT64_MIN;
        u.hi[a] = p ? static_cast<std::int64_t>(std::floor(reference[a] + half)) : INT64_MAX;
        u.length[a] = static_cast<std::int64_t>(len[a]);
    }
    u.axes = w.lattice.nz > 1 ? 3 : 2;
    return u;
}

Vec3 mean_of(const CentroidSums& sums, CellId id) {
    const double v = static_cast<double>(sums.volume[id]);
    return {static_cast<double>(sums.sum[id][0]) / v, static_cast<double>(sums.sum[id][1]) / v,
            static_cast<double>(sums.sum[id][2]) / v};
}

Vec3 wrapped(const World& w, Vec3 p) {
    const std::array<std::size_t, 3> len = lengths(w);
    for (unsigned a = 0; a < 3; ++a) {
        if (!w.lattice.periodic[a]) continue;
        const double l = static_cast<double>(len[a]);
        if (p[a] < 0.0) p[a] += l;
        if (p[a] >= l) p[a] -= l;
    }
    return p;
}

std::vector<Vec3> centroids(const World& w, const Tracks* tracks) {
    const CentroidSums sums = centroid_sums(w, tracks);
    std::vector<Vec3> out(w.cells.size(), Vec3{});
    for (std::size_t id = 1; id < out.size(); ++id)
        out[id] = sums.volume[id] > 0 ? wrapped(w, mean_of(sums, static_cast<CellId>(id))) : Vec3{};
    return out;
}

Vec3 minimum_image(const World& w, Vec3 a, Vec3 b) {
    const std::array<std::size_t, 3> len = lengths(w);
    Vec3 d{};
    for (unsigned k = 0; k < 3; ++k) {
        d[k] = a[k] - b[k];
        if (!w.lattice.periodic[k]) continue;
        const double l = static_cast<double>(len[k]);
        if (d[k] > l / 2.0) d[k] -= l;
        if (d[k] < -l / 2.0) d[k] += l;
    }
    return d;
}

void fit_tracks(const World& w, Tracks& tracks) {
    const std::size_t n = w.cells.size();
    if (tracks.position.size() >= n) return;
    tracks.reference.resize(n, Vec3{});
    tracks.position.resize(n, Vec3{});
    tracks.has_reference.resize(n, 0);
}

void track_step(const World& w, Tracks& tracks) {
    fit_tracks(w, tracks);
    const CentroidSums sums = centroid_sums(w, &tracks);
    for (std::size_t id = 1; id < w.cells.size(); ++id) {
        if (sums.volume[id] == 0) {
            tracks.has_reference[id] = 0;
            continue;
        }
        const Vec3 mean = mean_of(sums, static_cast<CellId>(id));
        if (tracks.has_reference[id])
            for (unsigned a = 0; a < 3; ++a) tracks.position[id][a] += mean[a] - sums.reference[id][a];
        tracks.reference[id] = wrapped(w, mean);
        tracks.has_reference[id] = 1;
    }
}

// ---- checkpoint ----

namespace {

void put_vec3s(ByteWriter& out, const std::vector<Vec3>& values) {
    out.u64(values.size());
    for (const Vec3& v : values)
        for (const double c : v) out.f64(c);
}

std::vector<Vec3> get_vec3s(ByteReader& in, std::size_t n_cells) {
    std::vector<Vec3> values(in.count(24));
    if (values.size() > n_cells) damaged("per-cell values beyond the registry");
    for (Vec3& v : values)
        for (double& c : v) c = in.f64();
    return values;
}

}  // namespace

void write(ByteWriter& out, const Tracks& term) {
    if (!term.requested && term.position.empty()) return;
    out.boolean(term.requested);
    put_vec3s(out, term.reference);
    put_vec3s(out, term.position);
    out.u8s(term.has_reference);
}

void read(ByteReader& in, Tracks& term, const World& w) {
    term.requested = in.boolean();
    term.reference = get_vec3s(in, w.cells.size());
    term.position = get_vec3s(in, w.cells.size());
    term.has_reference = in.u8s();
    if (term.position.size() != term.reference.size() || term.has_reference.size() != term.reference.size())
        damaged("the tracks' lists differ in length");
}

void track_division(const World& w, Tracks& tracks, const std::vector<CellId>& parents,
                    const std::vector<CellId>& daughters) {
    if (tracks.position.empty()) return;  // no step tracked yet: every cell starts at the next one
    fit_tracks(w, tracks);
    bool any_reference = false;
    for (std::size_t k = 0; k < parents.size(); ++k) {
        tracks.position[daughters[k]] = tracks.position[parents[k]];
        tracks.reference[daughters[k]] = tracks.reference[parents[k]];
        tracks.has_reference[daughters[k]] = tracks.has_reference[parents[k]];
        any_reference = any_reference || tracks.has_reference[parents[k]] != 0;
    }
    if (!any_reference) return;
    // the new centroids, unwrapped about the parent's reference
    const CentroidSums sums = centroid_sums(w, &tracks);
    for (std::size_t k = 0; k < parents.size(); ++k)
        for (const CellId id : {parents[k], daughters[k]}) {
            if (!tracks.has_reference[id]) continue;
            if (sums.volume[id] == 0) {
                tracks.has_reference[id] = 0;
                continue;
            }
            tracks.reference[id] = wrapped(w, mean_of(sums, id));
        }
}

}  // namespace tessaly
