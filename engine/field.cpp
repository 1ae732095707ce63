// Fields: creation and setters, the diffusion step, the field advance,
// the field read-outs.
#include "field.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "error.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

Field& field_mut(World& w, std::size_t field_idx) {
    if (field_idx >= w.fields.size()) fail("field index out of range");
    return w.fields[field_idx];
}

// Extends a per-type list with 0.0 so that it covers `cell_type`.
void cover(std::vector<double>& list, CellType cell_type) {
    if (list.size() <= cell_type) list.resize(std::size_t{cell_type} + 1, 0.0);
}

// Site index of (x, y, z) with each coordinate clamped to the last site of its axis.
std::size_t clamped_site(const Lattice& lattice, std::size_t x, std::size_t y, std::size_t z) {
    if (lattice.n_sites() == 0) fail("the lattice has no sites");
    x = std::min(x, lattice.nx - 1);
    y = std::min(y, lattice.ny - 1);
    z = std::min(z, lattice.nz - 1);
    return x + lattice.nx * (y + lattice.ny * z);
}

// ---- diffusion ----

// Neighbouring coordinate one step down or up an axis of length n: wrapped on
// a periodic axis, NONE past a closed face.
std::size_t step_down(std::size_t c, std::size_t n, bool periodic) {
    if (c > 0) return c - 1;
    return periodic ? n - 1 : NONE;
}
std::size_t step_up(std::size_t c, std::size_t n, bool periodic) {
    if (c + 1 < n) return c + 1;
    return periodic ? 0 : NONE;
}

struct Rates {
    double d, decay, dt;
};

// The new value of a site: the Euler step in double precision, clamped at 0
// (a NaN fails the comparison and stores 0 too).
inline float relaxed(float lap, float c, Rates k) {
    const double cd = static_cast<double>(c);
    const double v = (static_cast<double>(lap) * k.d - k.decay * cd) * k.dt + cd;
    return static_cast<float>(v > 0.0 ? v : 0.0);
}

// The rows holding a row's y and z face neighbours; null where the face is closed
// (or, for z, on a planar lattice).
struct NeighborRows {
    const float* ym;
    const float* yp;
    const float* zm;
    const float* zp;
};

// Sites 1 .. nx−2 of a row. Both x neighbours lie in the row itself and the
// present y and z rows are fixed per instantiation, so the loops have no
// division, no bounds test and no branch. Eight sites at a time go through
// AVX registers where the processor has them, four through SSE2 registers,
// the rest one by one. Every lane adds its terms in face order x−, x+, y−,
// y+, z−, z+ in single precision, then takes the same double-precision step
// with a separate multiply and add (never fused), clamping with maxpd, which
// yields 0 for a NaN as for a negative value; so the result is the same bit
// for bit as the site-by-site definition. (The vector lanes start from the
// first term instead of 0 + term: the two differ only for a −0 term, which
// needs c = +0 and then gives v = +0 either way.)
#if defined(__x86_64__)
template <bool YM, bool YP, bool ZM, bool ZP>
__attribute__((target("avx"))) std::size_t relax_interior_avx(const float* row, NeighborRows rows,
                                                              float* __restrict out, std::size_t nx, Rates k) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d d = _mm256_set1_pd(k.d);
    const __m256d decay = _mm256_set1_pd(k.decay);
    const __m256d dt = _mm256_set1_pd(k.dt);
    std::size_t x = 1;
    for (; x + 8 < nx; x += 8) {
        const __m256 c = _mm256_loadu_ps(row + x);
        __m256 lap = _mm256_sub_ps(_mm256_loadu_ps(row + x - 1), c);
        lap = _mm256_add_ps(lap, _mm256_sub_ps(_mm256_loadu_ps(row + x + 1), c));
        if constexpr (YM) lap = _mm256_add_ps(lap, _mm256_sub_ps(_mm256_loadu_ps(rows.ym + x), c));
        if constexpr (YP) lap = _mm256_add_ps(lap, _mm256_sub_ps(_mm256_loadu_ps(rows.yp + x), c));
        if constexpr (ZM) lap = _mm256_add_ps(lap, _mm256_sub_ps(_mm256_loadu_ps(rows.zm + x), c));
        if constexpr (ZP) lap = _mm256_add_ps(lap, _mm256_sub_ps(_mm256_loadu_ps(rows.zp + x), c));
        const __m256d c_lo = _mm256_cvtps_pd(_mm256_castps256_ps128(c));
        const __m256d c_hi = _mm256_cvtps_pd(_mm256_extractf128_ps(c, 1));
        const __m256d lap_lo = _mm256_cvtps_pd(_mm256_castps256_ps128(lap));
        const __m256d lap_hi = _mm256_cvtps_pd(_mm256_extractf128_ps(lap, 1));
        __m256d v_lo = _mm256_sub_pd(_mm256_mul_pd(lap_lo, d), _mm256_mul_pd(decay, c_lo));
        __m256d v_hi = _mm256_sub_pd(_mm256_mul_pd(lap_hi, d), _mm256_mul_pd(decay, c_hi));
        v_lo = _mm256_max_pd(_mm256_add_pd(_mm256_mul_pd(v_lo, dt), c_lo), zero);
        v_hi = _mm256_max_pd(_mm256_add_pd(_mm256_mul_pd(v_hi, dt), c_hi), zero);
        const __m256 v = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(v_lo)), _mm256_cvtpd_ps(v_hi), 1);
        _mm256_storeu_ps(out + x, v);
    }
    return x;
}
#endif

template <bool YM, bool YP, bool ZM, bool ZP>
void relax_interior(const float* row, NeighborRows rows, float* __restrict out, std::size_t nx, Rates k, bool avx) {
    const float* ym = rows.ym;
    const float* yp = rows.yp;
    const float* zm = rows.zm;
    const float* zp = rows.zp;
    std::size_t x = 1;
#if defined(__x86_64__)
    if (avx) x = relax_interior_avx<YM, YP, ZM, ZP>(row, rows, out, nx, k);
#else
    (void)avx;
#endif
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd();
    const __m128d d = _mm_set1_pd(k.d);
    const __m128d decay = _mm_set1_pd(k.decay);
    const __m128d dt = _mm_set1_pd(k.dt);
    for (; x + 4 < nx; x += 4) {
        const __m128 c = _mm_loadu_ps(row + x);
        __m128 lap = _mm_sub_ps(_mm_loadu_ps(row + x - 1), c);
        lap = _mm_add_ps(lap, _mm_sub_ps(_mm_loadu_ps(row + x + 1), c));
        if constexpr (YM) lap = _mm_add_ps(lap, _mm_sub_ps(_mm_loadu_ps(ym + x), c));
        if constexpr (YP) lap = _mm_add_ps(lap, _mm_sub_ps(_mm_loadu_ps(yp + x), c));
        if constexpr (ZM) lap = _mm_add_ps(lap, _mm_sub_ps(_mm_loadu_ps(zm + x), c));
        if constexpr (ZP) lap = _mm_add_ps(lap, _mm_sub_ps(_mm_loadu_ps(zp + x), c));
        const __m128d c_lo = _mm_cvtps_pd(c);
        const __m128d c_hi = _mm_cvtps_pd(_mm_movehl_ps(c, c));
        const __m128d lap_lo = _mm_cvtps_pd(lap);
        const __m128d lap_hi = _mm_cvtps_pd(_mm_movehl_ps(lap, lap));
        __m128d v_lo = _mm_sub_pd(_mm_mul_pd(lap_lo, d), _mm_mul_pd(decay, c_lo));
        __m128d v_hi = _mm_sub_pd(_mm_mul_pd(lap_hi, d), _mm_mul_pd(decay, c_hi));
        v_lo = _mm_max_pd(_mm_add_pd(_mm_mul_pd(v_lo, dt), c_lo), zero);
        v_hi = _mm_max_pd(_mm_add_pd(_mm_mul_pd(v_hi, dt), c_hi), zero);
        _mm_storeu_ps(out + x, _mm_movelh_ps(_mm_cvtpd_ps(v_lo), _mm_cvtpd_ps(v_hi)));
    }
#endif
    for (; x + 1 < nx; ++x) {
        const float c = row[x];
        float lap = 0.0f + (row[x - 1] - c);
        lap = lap + (row[x + 1] - c);
        if constexpr (YM) lap = lap + (ym[x] - c);
        if constexpr (YP) lap = lap + (yp[x] - c);
        if constexpr (ZM) lap = lap + (zm[x] - c);
        if constexpr (ZP) lap = lap + (zp[x] - c);
        out[x] = relaxed(lap, c, k);
    }
}

// Picks the instantiation of relax_interior for the neighbour rows present.
template <bool... Present>
void relax_interior_for(const float* row, NeighborRows rows, float* out, std::size_t nx, Rates k, bool avx) {
    if constexpr (sizeof...(Present) == 4) {
        relax_interior<Present...>(row, rows, out, nx, k, avx);
    } else {
        const float* next = (sizeof...(Present) == 0)   ? rows.ym
                            : (sizeof...(Present) == 1) ? rows.yp
                            : (sizeof...(Present) == 2) ? rows.zm
                                                        : rows.zp;
        if (next)
            relax_interior_for<Present..., true>(row, rows, out, nx, k, avx);
        else
            relax_interior_for<Present..., false>(row, rows, out, nx, k, avx);
    }
}

// One site at an end of a row, x neighbours at row positions xm and xp (NONE
// when that face is closed, where `outside` holds the boundary value, null
// without one); the general path, in the same term order.
float relax_edge(const float* row, NeighborRows rows, std::size_t x, std::size_t xm, std::size_t xp,
                 const float* outside, Rates k) {
    const float c = row[x];
    float lap = 0.0f;
    if (xm != NONE) {
        lap = lap + (row[xm] - c);
    } else if (outside) {
        lap = lap + (*outside - c);
    }
    if (xp != NONE) {
        lap = lap + (row[xp] - c);
    } else if (outside) {
        lap = lap + (*outside - c);
    }
    if (rows.ym) lap = lap + (rows.ym[x] - c);
    if (rows.yp) lap = lap + (rows.yp[x] - c);
    if (rows.zm) lap = lap + (rows.zm[x] - c);
    if (rows.zp) lap = lap + (rows.zp[x] - c);
    return relaxed(lap, c, k);
}

// ---- secretion ----

void secrete(const World& w, Field& field) {
    const std::vector<double>& rate = field.secretion_rate;
    // a NaN rate counts as secreting
    if (std::none_of(rate.begin(), rate.end(), [](double r) { return r != 0.0; })) return;
    // per cell id, once: whether it secretes and what one advance adds to
    // each of its sites (the same product and rounding as per site)
    const std::size_t n_cells = w.cells.size();
    std::vector<float> amount(n_cells, 0.0f);
    std::vector<std::uint32_t> secreting(n_cells, 0);  // all ones where it does
    const bool scaled = !field.secretion_scale.empty();
    for (std::size_t id = 0; id < n_cells; ++id) {
        const CellType t = w.cells[id].cell_type;
        if (t >= rate.size()) continue;
        double r = rate[t];
        if (r == 0.0) continue;
        if (scaled) {
            const auto it = field.secretion_scale.find(static_cast<CellId>(id));
            if (it != field.secretion_scale.end()) r = r * it->second;
        }
        secreting[id] = ~std::uint32_t{0};
        amount[id] = static_cast<float>(field.dt * r);
    }
    const std::vector<CellId>& sites = w.lattice.sites;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const CellId id = sites[i];
        if (id >= n_cells) fail("a site holds a cell id with no record");
        // a bit select rather than a branch (the runs of sites of one cell are
        // short); the sum is taken only where the mask keeps it
        const float before = field.conc[i];
        const std::uint32_t keep = secreting[id];
        const std::uint32_t sum = std::bit_cast<std::uint32_t>(amount[id] + before);
        field.conc[i] = std::bit_cast<float>((sum & keep) | (std::bit_cast<std::uint32_t>(before) & ~keep));
    }
}

// ---- uptake ----

// Per cell id once: q = dt·(max_rate·s) and km; then per site of a cell
// with q > 0 and c > 0, r = q or q·c/(km + c) in double, conc = single(c − r),
// or 0 where r ≥ c. A NaN q or c fails the tests and takes nothing.
void take_up(const World& w, Field& field) {
    const std::vector<Uptake>& uptake = field.uptake;
    if (std::none_of(uptake.begin(), uptake.end(), [](const Uptake& u) { return u.max_rate != 0.0; })) return;
    const std::size_t n_cells = w.cells.size();
    // the per-type attribute columns, found once
    std::vector<const std::vector<double>*> scales(uptake.size(), nullptr);
    for (std::size_t t = 0; t < uptake.size(); ++t) {
        if (uptake[t].max_rate == 0.0 || uptake[t].scale_by.empty()) continue;
        const std::size_t a = find_attribute(w.state, uptake[t].scale_by);
        if (a == NO_ATTRIBUTE) fail("scale_by: no cell attribute named '" + uptake[t].scale_by + "'");
        scales[t] = &w.state.attributes[a].values;
        if (scales[t]->size() != n_cells) fail("a cell attribute does not cover the registry");
    }
    std::vector<double> rate(n_cells, 0.0), half(n_cells, 0.0);
    for (std::size_t id = 0; id < n_cells; ++id) {
        const CellType t = w.cells[id].cell_type;
        if (t >= uptake.size() || uptake[t].max_rate == 0.0) continue;
        const double s = scales[t] ? (*scales[t])[id] : 1.0;
        rate[id] = field.dt * (uptake[t].max_rate * s);
        half[id] = uptake[t].km;
    }
    const std::vector<CellId>& sites = w.lattice.sites;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const CellId id = sites[i];
        if (id >= n_cells) fail("a site holds a cell id with no record");
        const double q = rate[id];
        if (!(q > 0.0)) continue;
        const double c = static_cast<double>(field.conc[i]);
        if (!(c > 0.0)) continue;
        const double km = half[id];
        const double r = km == 0.0 ? q : q * c / (km + c);
        field.conc[i] = r < c ? static_cast<float>(c - r) : 0.0f;
    }
}

}  // namespace

Field::Field(std::string field_name, std::size_t n_sites, std::size_t n_types, double diffusion, double decay_rate)
    : name(std::move(field_name)),
      conc(n_sites, 0.0f),
      secretion_rate(n_types, 0.0),
      d(diffusion),
      decay(decay_rate) {}

// ---- set-up ----

std::size_t add_field(World& w, std::string name, double d, double decay) {
    std::size_t n_types = 1;
    for (const Cell& cell : w.cells) n_types = std::max(n_types, std::size_t{cell.cell_type} + 1);
    // the field and its chemotactic response come and go together
    add_field_response(w.terms.chemotaxis, n_types);
    try {
        w.fields.emplace_back(std::move(name), w.lattice.n_sites(), n_types, d, decay);
    } catch (...) {
        w.terms.chemotaxis.fields.pop_back();
        throw;
    }
    return w.fields.size() - 1;
}

void set_field_dynamics(World& w, std::size_t field_idx, double dt, std::uint32_t substeps) {
    Field& field = field_mut(w, field_idx);
    field.dt = dt;
    field.substeps = std::max<std::uint32_t>(substeps, 1);
}

void set_secretion(World& w, std::size_t field_idx, CellType cell_type, double rate) {
    Field& field = field_mut(w, field_idx);
    cover(field.secretion_rate, cell_type);
    field.secretion_rate[cell_type] = rate;
}

void set_cell_secretion_scale(World& w, std::size_t field_idx, CellId cell_id, double scale) {
    field_mut(w, field_idx).secretion_scale[cell_id] = scale;
}

void set_uptake(World& w, std::size_t field_idx, CellType cell_type, double max_rate, double km,
                const std::string& scale_by) {
    Field& field = field_mut(w, field_idx);
    if (!(max_rate >= 0.0)) fail("max_rate: must be >= 0");
    if (!(km >= 0.0)) fail("km: must be >= 0");
    if (!scale_by.empty() && find_attribute(w.state, scale_by) == NO_ATTRIBUTE)
        fail("scale_by: no cell attribute named '" + scale_by + "'");
    if (field.uptake.size() <= cell_type) field.uptake.resize(std::size_t{cell_type} + 1);
    field.uptake[cell_type] = Uptake{max_rate, km, scale_by};
}

void set_field_boundary(World& w, std::size_t field_idx, std::optional<double> value) {
    Field& field = field_mut(w, field_idx);
    if (value && !(std::isfinite(*value) && *value >= 0.0)) fail("value: must be finite and >= 0");
    field.boundary = value;
}

void set_cell_secretion_scales(World& w, std::size_t field_idx, const std::vector<CellId>& ids,
                               const std::vector<double>& scales) {
    Field& field = field_mut(w, field_idx);
    check_registered(w, ids);
    if (scales.size() != ids.size()) fail("set_cell_secretion_scales: not one scale per id");
    // built aside and swapped in, so that running out of memory half way changes nothing
    std::unordered_map<CellId, double> scale = field.secretion_scale;
    for (std::size_t k = 0; k < ids.size(); ++k) scale[ids[k]] = scales[k];
    field.secretion_scale.swap(scale);
}

void secretion_scales(const World& w, std::size_t field_idx, std::vector<double>& out) {
    const Field& field = field_at(w, field_idx);
    out.assign(w.cells.size(), 1.0);
    for (const auto& [id, s] : field.secretion_scale)
        if (id < out.size()) out[id] = s;
}

// ---- dynamics ----

namespace {

// One plane z of new values into `out`, reading the old values of plane z
// from `centre` and of its z neighbours from `below` and `above` (null past
// a closed face, or the plane of boundary values). Rows are handled one at a
// time: the y and z neighbour rows of a row are found once (wrapped, absent,
// or the boundary's row `outside`, null without a boundary), its interior
// sites go through the vectorised loop and its two end sites through the
// general path.
void relax_plane(const Lattice& lattice, const float* centre, const float* below, const float* above,
                 const float* outside, float* out, Rates k, bool avx) {
    const std::size_t nx = lattice.nx;
    const std::size_t ny = lattice.ny;
    for (std::size_t y = 0; y < ny; ++y) {
        const std::size_t ym = step_down(y, ny, lattice.periodic[1]);
        const std::size_t yp = step_up(y, ny, lattice.periodic[1]);
        const float* row = centre + nx * y;
        const NeighborRows rows{
            ym == NONE ? outside : centre + nx * ym,
            yp == NONE ? outside : centre + nx * yp,
            below == nullptr ? nullptr : below + nx * y,
            above == nullptr ? nullptr : above + nx * y,
        };
        float* out_row = out + nx * y;
        out_row[0] = relax_edge(row, rows, 0, step_down(0, nx, lattice.periodic[0]),
                                step_up(0, nx, lattice.periodic[0]), outside, k);
        relax_interior_for<>(row, rows, out_row, nx, k, avx);
        if (nx >= 2)
            out_row[nx - 1] =
                relax_edge(row, rows, nx - 1, nx - 2, step_up(nx - 1, nx, lattice.periodic[0]), outside, k);
    }
}

}  // namespace

// A Jacobi step done in place, plane by plane: every new value is computed
// from old values only. New plane z is held back in one of two plane buffers
// until plane z + 1 has been computed from the old plane z, then written
// over it; the old plane 0 is kept aside for the last plane's z+1 rows across
// a periodic face. Three planes of scratch in all, not a second whole field;
// with a boundary value, a fourth holds it, the outside of every closed face.
void diffuse_step(Field& field, const Lattice& lattice, std::vector<float>& scratch) {
    const std::size_t n = lattice.n_sites();
    if (n == 0) return;
    const std::size_t plane = lattice.nx * lattice.ny;
    const std::size_t nz = lattice.nz;
    // a planar lattice has no z neighbours: one plane of new values will do
    const bool layered = nz >= 2;
    const std::size_t planes = layered ? 3 : 1;
    scratch.resize((planes + (field.boundary ? 1 : 0)) * plane);
    float* held[2] = {scratch.data(), layered ? scratch.data() + plane : scratch.data()};  // new planes
    float* first = layered ? scratch.data() + 2 * plane : nullptr;                         // old plane 0
    float* outside = nullptr;                                                              // the boundary's plane
    if (field.boundary) {
        outside = scratch.data() + planes * plane;
        std::fill(outside, outside + plane, static_cast<float>(*field.boundary));
    }
    float* conc = field.conc.data();
    const Rates k{field.d, field.decay, field.dt};
#if defined(__x86_64__)
    const bool avx = __builtin_cpu_supports("avx");
#else
    const bool avx = false;
#endif
    if (layered) std::memcpy(first, conc, plane * sizeof(float));
    for (std::size_t z = 0; z < nz; ++z) {
        const float* below = nullptr;
        const float* above = nullptr;
        if (layered) {
            const std::size_t zm = step_down(z, nz, lattice.periodic[2]);
            const std::size_t zp = step_up(z, nz, lattice.periodic[2]);
            // planes below z − 1 already hold new values; z − 1 and up are old
            below = zm != NONE ? conc + zm * plane : outside;
            if (zp != NONE) {
                above = zp < z ? first : conc + zp * plane;
            } else {
                above = outside;
            }
        }
        relax_plane(lattice, conc + z * plane, below, above, outside, held[z & 1], k, avx);
        if (z > 0) std::memcpy(conc + (z - 1) * plane, held[(z - 1) & 1], plane * sizeof(float));
    }
    std::memcpy(conc + (nz - 1) * plane, held[(nz - 1) & 1], plane * sizeof(float));
}

bool advance_fields(World& w, InterruptPoll poll) {
    bool first = true;
    for (Field& field : w.fields) {
        // diffusion and decay, substeps times
        for (std::uint32_t s = 0; s < field.substeps; ++s) {
            if (!first && poll != nullptr && poll()) return false;
            first = false;
            diffuse_step(field, w.lattice, field.scratch);
        }
        // secretion, once per advance
        secrete(w, field);
        // uptake, after secretion
        take_up(w, field);
    }
    return true;
}

// ---- read-outs and point sources ----

const Field& field_at(const World& w, std::size_t field_idx) {
    if (field_idx >= w.fields.size()) fail("field index out of range");
    return w.fields[field_idx];
}

float field_value_at(const World& w, std::size_t field_idx, std::size_t x, std::size_t y, std::size_t z) {
    const Field& field = field_at(w, field_idx);
    return field.conc[clamped_site(w.lattice, x, y, z)];
}

void field_add_source_at(World& w, std::size_t field_idx, std::size_t x, std::size_t y, std::size_t z,
                         double amount) {
    Field& field = field_mut(w, field_idx);
    float& c = field.conc[clamped_site(w.lattice, x, y, z)];
    c = c + static_cast<float>(amount);
}

// The order of the checks is part of the contract: a cell without sites
// answers 0.0 before the field index is looked at.
double field_mean_at_cell(const World& w, std::size_t field_idx, CellId cell_id) {
    if (cell_at(w, cell_id).trackers.volume == 0) return 0.0;
    const Field& field = field_at(w, field_idx);
    const std::vector<CellId>& sites = w.lattice.sites;
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        if (sites[i] != cell_id) continue;
        sum += static_cast<double>(field.conc[i]);
        ++count;
    }
    return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

void field_means(const World& w, std::size_t field_idx, std::vector<double>& out) {
    const Field& field = field_at(w, field_idx);
    const std::size_t n_cells = w.cells.size();
    const std::vector<CellId>& sites = w.lattice.sites;
    std::vector<std::size_t> count(n_cells, 0);
    out.assign(n_cells, 0.0);
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const CellId id = sites[i];
        if (id >= n_cells) fail("a site holds a cell id with no record");
        out[id] += static_cast<double>(field.conc[i]);
        ++count[id];
    }
    for (std::size_t id = 0; id < n_cells; ++id)
        out[id] = count[id] == 0 ? std::numeric_limits<double>::quiet_NaN() : out[id] / static_cast<double>(count[id]);
}

}  // namespace tessaly
