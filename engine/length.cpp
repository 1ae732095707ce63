// length: E = λ_t·(L − L_t)² per cell (n >= 2, λ_t ≠ 0), L = √(12·e), e the
// largest eigenvalue of the covariance of the cell's site coordinates.
//
// Every product and quotient below is written in the order it is evaluated:
// the results are fixed to the bit, so no step may be regrouped.
#include "length.hpp"

#include <algorithm>
#include <cmath>

#include "world.hpp"

namespace tessaly {

namespace {

struct Sums {
    std::int64_t n;
    std::array<double, 3> first;   // Σx, Σy, Σz
    std::array<double, 6> second;  // Σx², Σy², Σz², Σxy, Σxz, Σyz
};

Sums sums_of(const Trackers& t) {
    return {t.volume, {t.sum_x, t.sum_y, t.sum_z}, {t.sum_xx, t.sum_yy, t.sum_zz, t.sum_xy, t.sum_xz, t.sum_yz}};
}

// The sums with the site at (x, y, z) added (gain true) or taken away.
Sums moved(const Sums& s, bool gain, double x, double y, double z) {
    const std::array<double, 3> first{x, y, z};
    const std::array<double, 6> second{x * x, y * y, z * z, x * y, x * z, y * z};
    Sums out = s;
    out.n = gain ? s.n + 1 : s.n - 1;
    for (std::size_t a = 0; a < 3; ++a) out.first[a] = gain ? s.first[a] + first[a] : s.first[a] - first[a];
    for (std::size_t a = 0; a < 6; ++a) out.second[a] = gain ? s.second[a] + second[a] : s.second[a] - second[a];
    return out;
}

double energy(const LengthTerm& term, CellType type, const Sums& s) {
    if (type >= term.lambda.size() || s.n < 2) return 0.0;
    const double lambda = term.lambda[type];
    if (!(lambda != 0.0)) return 0.0;
    const double target = type < term.target.size() ? term.target[type] : 0.0;
    const double d = major_axis_length(s.n, s.first, s.second) - target;
    return lambda * (d * d);
}

}  // namespace

double major_axis_length(std::int64_t n, std::array<double, 3> first, std::array<double, 6> second) {
    if (n < 2) return 0.0;
    const double count = static_cast<double>(n);
    const double mx = first[0] / count;
    const double my = first[1] / count;
    const double mz = first[2] / count;
    const double cxx = second[0] / count - mx * mx;
    const double cyy = second[1] / count - my * my;
    const double czz = second[2] / count - mz * mz;
    const double cxy = second[3] / count - mx * my;
    const double cxz = second[4] / count - mx * mz;
    const double cyz = second[5] / count - my * mz;
    const double p1 = cxy * cxy + cxz * cxz + cyz * cyz;
    double e;
    if (p1 == 0.0) {
        // diagonal: the eigenvalues are the diagonal entries
        e = std::max(std::max(cxx, cyy), czz);
    } else {
        // closed-form largest eigenvalue of a symmetric 3×3 matrix (trigonometric method)
        const double q = (cxx + cyy + czz) / 3.0;
        const double s = ((cxx - q) * (cxx - q) + (cyy - q) * (cyy - q) + (czz - q) * (czz - q) + 2.0 * p1) / 6.0;
        if (s == 0.0) {
            e = q;
        } else {
            const double p = std::sqrt(s);
            const double bxx = (cxx - q) / p;
            const double byy = (cyy - q) / p;
            const double bzz = (czz - q) / p;
            const double bxy = cxy / p;
            const double bxz = cxz / p;
            const double byz = cyz / p;
            const double det =
                bxx * (byy * bzz - byz * byz) - bxy * (bxy * bzz - byz * bxz) + bxz * (bxy * byz - byy * bxz);
            double r = det / 2.0;
            if (r < -1.0) r = -1.0;
            if (r > 1.0) r = 1.0;
            e = q + (2.0 * p) * std::cos(std::acos(r) / 3.0);
        }
    }
    return std::sqrt(12.0 * std::max(e, 0.0));
}

double cell_length(const World& w, CellId id) {
    const Sums s = sums_of(cell_at(w, id).trackers);
    return major_axis_length(s.n, s.first, s.second);
}

void refresh(LengthTerm& term) {
    term.on = false;
    for (const double lambda : term.lambda) term.on = term.on || lambda > 0.0;
}

void set_length_constraint(World& w, CellType cell_type, double target_length, double lambda) {
    LengthTerm& term = w.terms.length;
    if (cell_type >= term.lambda.size()) term.lambda.resize(std::size_t{cell_type} + 1, 0.0);
    if (cell_type >= term.target.size()) term.target.resize(std::size_t{cell_type} + 1, 0.0);
    term.lambda[cell_type] = lambda;
    term.target[cell_type] = target_length;
    refresh_terms(w);
}

double delta_length(const World& w, std::size_t target, CellId n) {
    const CellId old = w.lattice.sites[target];
    return delta_length(w, target, n, w.cells[old].trackers, w.cells[n].trackers);
}

double delta_length(const World& w, std::size_t target, CellId n, const Trackers& losing, const Trackers& gaining) {
    const CellId old = w.lattice.sites[target];
    if (n == old) return 0.0;
    const Coords c = coords(w.lattice, target);
    const double x = static_cast<double>(c.x);
    const double y = static_cast<double>(c.y);
    const double z = static_cast<double>(c.z);
    const CellType losing_type = w.cells[old].cell_type;
    const CellType gaining_type = w.cells[n].cell_type;
    const Sums losing_now = sums_of(losing);
    const Sums gaining_now = sums_of(gaining);
    const LengthTerm& term = w.terms.length;
    const double before = energy(term, losing_type, losing_now) + energy(term, gaining_type, gaining_now);
    const double after = energy(term, losing_type, moved(losing_now, false, x, y, z)) +
                         energy(term, gaining_type, moved(gaining_now, true, x, y, z));
    return after - before;
}

// ---- checkpoint ----

void write(ByteWriter& out, const LengthTerm& term) {
    if (term.target.empty() && term.lambda.empty()) return;
    out.f64s(term.target);
    out.f64s(term.lambda);
}

void read(ByteReader& in, LengthTerm& term, const World&) {
    term.target = in.f64s();
    term.lambda = in.f64s();
}

}  // namespace tessaly
