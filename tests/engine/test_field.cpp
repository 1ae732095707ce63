// Fields: set-up, the diffusion step against a site-by-site reference,
// secretion, read-outs, the physics a user relies on, and chemotaxis.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "error.hpp"
#include "field.hpp"
#include "world.hpp"

using namespace tessaly;

namespace {

World make_world(std::size_t nx, std::size_t ny, std::size_t nz, bool periodic) {
    return World(Lattice({nx, ny, nz}, {periodic, periodic, periodic}, Neighborhood(nz >= 2 ? 1 : 0, 1)), 1.0);
}

// The diffusion step exactly as defined, one site at a time from the face list.
std::vector<float> reference_step(const std::vector<float>& conc, const Lattice& lattice, double d, double decay,
                                  double dt) {
    std::vector<float> next(conc.size(), 0.0f);
    for (std::size_t i = 0; i < conc.size(); ++i) {
        const float c = conc[i];
        float lap = 0.0f;
        for (const std::size_t j : face_neighbors(lattice, i)) lap = lap + (conc[j] - c);
        const double v = (static_cast<double>(lap) * d - decay * static_cast<double>(c)) * dt + static_cast<double>(c);
        next[i] = static_cast<float>(v > 0.0 ? v : 0.0);
    }
    return next;
}

// The same step with a fixed value past every closed face: each face of
// x, y (and z on a layered box) in order, the outside neighbour holding `b`.
std::vector<float> reference_step_fixed(const std::vector<float>& conc, const Lattice& lattice, double d,
                                        double decay, double dt, float b) {
    std::vector<float> next(conc.size(), 0.0f);
    const std::size_t n[3] = {lattice.nx, lattice.ny, lattice.nz};
    const std::size_t stride[3] = {1, lattice.nx, lattice.nx * lattice.ny};
    for (std::size_t i = 0; i < conc.size(); ++i) {
        const std::size_t at[3] = {i % n[0], i / n[0] % n[1], i / stride[2]};
        const float c = conc[i];
        float lap = 0.0f;
        for (std::size_t axis = 0; axis < (n[2] >= 2 ? 3u : 2u); ++axis)
            for (const int dir : {-1, 1}) {
                const bool past = dir < 0 ? at[axis] == 0 : at[axis] + 1 == n[axis];
                float other = b;
                if (!past || lattice.periodic[axis]) {
                    const std::size_t to = past ? (dir < 0 ? n[axis] - 1 : 0) : at[axis] + dir;
                    other = conc[i + (to - at[axis]) * stride[axis]];
                }
                lap = lap + (other - c);
            }
        const double v = (static_cast<double>(lap) * d - decay * static_cast<double>(c)) * dt + static_cast<double>(c);
        next[i] = static_cast<float>(v > 0.0 ? v : 0.0);
    }
    return next;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

double total(const std::vector<float>& conc) {
    double sum = 0.0;
    for (const float c : conc) sum += c;
    return sum;
}

std::size_t site(const World& w, std::size_t x, std::size_t y, std::size_t z) {
    return x + w.lattice.nx * (y + w.lattice.ny * z);
}

}  // namespace

int main() {
    using tessaly_test::throws;

    // set-up: indices, per-type lists sized to the known types, defaults, growth
    {
        World w = make_world(3, 2, 2, false);
        add_cell(w, 3, 1.0, 1.0, 0.0, 0.0);
        add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        CHECK_EQ(add_field(w, "a", 0.1, 0.01), 0u);
        CHECK_EQ(add_field(w, "a", 0.2, 0.0), 1u);
        const Field& f = w.fields[0];
        CHECK_EQ(f.name, "a");
        CHECK(f.conc == std::vector<float>(12, 0.0f));
        const FieldChemotaxis& r = w.terms.chemotaxis.fields[0];
        CHECK(f.secretion_rate.size() == 4 && r.lambda.size() == 4 && r.kd.size() == 4 && r.hill.size() == 4 &&
              r.scale.size() == 4);
        CHECK(f.d == 0.1 && f.decay == 0.01 && f.dt == 1.0 && f.substeps == 1u && f.secretion_scale.empty());

        set_field_dynamics(w, 0, 0.5, 0);
        CHECK(w.fields[0].dt == 0.5 && w.fields[0].substeps == 1u);
        set_field_dynamics(w, 0, -2.0, 7);
        CHECK(w.fields[0].dt == -2.0 && w.fields[0].substeps == 7u);

        set_secretion(w, 0, 9, 0.5);
        CHECK(w.fields[0].secretion_rate == std::vector<double>({0, 0, 0, 0, 0, 0, 0, 0, 0, 0.5}));
        set_secretion(w, 0, 2, 0.25);
        CHECK_EQ(w.fields[0].secretion_rate.size(), 10u);
        CHECK(w.fields[0].secretion_rate[2] == 0.25);

        set_cell_secretion_scale(w, 0, 77, 2.0);
        set_cell_secretion_scale(w, 0, 77, 3.0);
        CHECK(w.fields[0].secretion_scale.size() == 1 && w.fields[0].secretion_scale.at(77) == 3.0);

        // set_chemotaxis grows only λ; the occupancy setter grows all four
        set_chemotaxis(w, 1, 6, 1.0);
        CHECK(w.terms.chemotaxis.fields[1].lambda.size() == 7 && w.terms.chemotaxis.fields[1].kd.size() == 4);
        set_chemotaxis_occupancy(w, 1, 5, 2.0, 1.0, 2.0, 3.0);
        const FieldChemotaxis& g = w.terms.chemotaxis.fields[1];
        CHECK(g.lambda.size() == 7 && g.kd.size() == 6 && g.hill.size() == 6 && g.scale.size() == 6);
        CHECK(g.lambda[5] == 2.0 && g.kd[5] == 1.0 && g.hill[5] == 2.0 && g.scale[5] == 3.0 && g.lambda[6] == 1.0);

        // every operation taking a field index refuses one past the end
        const char* msg = "field index out of range";
        CHECK(throws<EngineError>([&] { set_field_dynamics(w, 2, 1.0, 1); }, msg));
        CHECK(throws<EngineError>([&] { set_secretion(w, 2, 0, 1.0); }, msg));
        CHECK(throws<EngineError>([&] { set_cell_secretion_scale(w, 2, 1, 1.0); }, msg));
        CHECK(throws<EngineError>([&] { set_chemotaxis(w, 2, 0, 1.0); }, msg));
        CHECK(throws<EngineError>([&] { set_chemotaxis_occupancy(w, 2, 0, 1.0, 1.0, 1.0, 1.0); }, msg));
        CHECK(throws<EngineError>([&] { field_at(w, 2); }, msg));
        CHECK(throws<EngineError>([&] { field_value_at(w, 2, 0, 0, 0); }, msg));
        CHECK(throws<EngineError>([&] { field_add_source_at(w, 2, 0, 0, 0, 1.0); }, msg));
        CHECK_EQ(&field_at(w, 1), &w.fields[1]);
    }

    // a world of medium only sizes the lists to one type
    {
        World w = make_world(2, 2, 1, true);
        add_field(w, "m", 0.0, 0.0);
        CHECK_EQ(w.fields[0].secretion_rate.size(), 1u);
    }

    // the chemotaxis guard follows the strengths; a NaN strength counts as set
    {
        World w = make_world(2, 1, 1, false);
        add_field(w, "a", 0.0, 0.0);
        add_field(w, "b", 0.0, 0.0);
        CHECK(!w.terms.chemotaxis.on);
        set_chemotaxis(w, 1, 2, 0.5);
        CHECK(w.terms.chemotaxis.on);
        set_chemotaxis(w, 1, 2, 0.0);
        CHECK(!w.terms.chemotaxis.on);
        set_chemotaxis_occupancy(w, 0, 0, std::nan(""), 1.0, 1.0, 1.0);
        CHECK(w.terms.chemotaxis.on);
        set_chemotaxis_occupancy(w, 0, 0, 0.0, 1.0, 1.0, 1.0);
        CHECK(!w.terms.chemotaxis.on);
    }

    // the fast diffusion step equals the site-by-site definition bit for bit:
    // every size 1 to 5 (and wider rows, so that 8-wide, 4-wide and single
    // sites all run)
    // along each axis, each axis periodic or closed, random values with
    // specials mixed in, several coefficient sets, three steps each
    {
        std::mt19937 gen(12345);
        std::uniform_real_distribution<float> value(-0.5f, 2.0f);
        std::uniform_int_distribution<int> pick(0, 39);
        const float inf = std::numeric_limits<float>::infinity();
        const float specials[] = {0.0f, -0.0f, inf, -inf, std::numeric_limits<float>::quiet_NaN(), 1e-40f, 3e38f};
        struct Rates {
            double d, decay, dt;
        };
        const Rates rates[] = {{0.1, 0.01, 1.0}, {0.3, 0.5, 0.7}, {1.7, 0.0, 1.0}, {0.0, 1.0, 1.0}, {0.05, -0.2, 2.0}};
        const std::size_t widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 16, 17};
        int lattices = 0, mismatches = 0;
        for (const std::size_t nx : widths)
            for (std::size_t ny = 1; ny <= 5; ++ny)
                for (std::size_t nz = 1; nz <= 4; ++nz)
                    for (unsigned mode = 0; mode < 8; ++mode) {
                        const std::array<bool, 3> periodic{(mode & 1) != 0, (mode & 2) != 0, (mode & 4) != 0};
                        const Lattice lattice({nx, ny, nz}, periodic, Neighborhood(nz >= 2 ? 1 : 0, 1));
                        const Rates& k = rates[lattices % 5];
                        Field field("f", lattice.n_sites(), 1, k.d, k.decay);
                        field.dt = k.dt;
                        const bool with_specials = lattices % 3 == 0;
                        for (float& c : field.conc) {
                            const int p = pick(gen);
                            c = (with_specials && p < 7) ? specials[p] : value(gen);
                        }
                        // every other lattice with a fixed value past its closed faces
                        const bool fixed = lattices % 2 == 1;
                        if (fixed) field.boundary = 0.75;
                        std::vector<float> scratch;
                        for (int s = 0; s < 3; ++s) {
                            const std::vector<float> expected =
                                fixed ? reference_step_fixed(field.conc, lattice, k.d, k.decay, k.dt, 0.75f)
                                      : reference_step(field.conc, lattice, k.d, k.decay, k.dt);
                            diffuse_step(field, lattice, scratch);
                            if (!same_bits(field.conc, expected)) ++mismatches;
                        }
                        ++lattices;
                    }
        CHECK_EQ(lattices, 12 * 5 * 4 * 8);
        CHECK_EQ(mismatches, 0);
    }

    // a unit source in a periodic box: 0.4 stays, 0.1 reaches each face neighbour
    {
        World w = make_world(5, 5, 5, true);
        add_field(w, "f", 0.1, 0.0);
        field_add_source_at(w, 0, 2, 2, 2, 1.0);
        advance_fields(w);
        const std::vector<float>& c = w.fields[0].conc;
        CHECK(c[site(w, 2, 2, 2)] == 0.4f);
        for (const std::size_t j : face_neighbors(w.lattice, site(w, 2, 2, 2))) CHECK(c[j] == 0.1f);
        CHECK(c[site(w, 3, 3, 2)] == 0.0f && c[site(w, 0, 0, 0)] == 0.0f);
        CHECK(std::fabs(total(c) - 1.0) < 1e-6);
    }

    // the same source at a closed corner: 0.7 stays, 0.1 to each of three neighbours
    {
        World w = make_world(4, 4, 4, false);
        add_field(w, "f", 0.1, 0.0);
        field_add_source_at(w, 0, 0, 0, 0, 1.0);
        advance_fields(w);
        const std::vector<float>& c = w.fields[0].conc;
        CHECK(c[0] == 0.7f);
        CHECK(c[site(w, 1, 0, 0)] == 0.1f && c[site(w, 0, 1, 0)] == 0.1f && c[site(w, 0, 0, 1)] == 0.1f);
        CHECK(std::fabs(total(c) - 1.0) < 1e-6);
    }

    // decay 1 and dt 1: every site becomes lap·d, clamped at 0
    {
        World w = make_world(4, 1, 1, false);
        add_field(w, "f", 0.5, 1.0);
        w.fields[0].conc = {1.0f, 0.0f, 2.0f, 0.5f};
        advance_fields(w);
        CHECK(w.fields[0].conc == std::vector<float>({0.0f, 1.5f, 0.0f, 0.75f}));
    }

    // planar box, periodic: no z neighbours even though z is "periodic";
    // an axis of length 2 counts the other site twice
    {
        World w = make_world(2, 3, 1, true);
        add_field(w, "f", 0.125, 0.0);
        field_add_source_at(w, 0, 0, 0, 0, 1.0);
        advance_fields(w);
        const std::vector<float>& c = w.fields[0].conc;
        // source: lap = −2 (x, twice) −2 (y) = −4 → 1 − 0.5
        CHECK(c[0] == 0.5f);
        CHECK(c[site(w, 1, 0, 0)] == 0.25f);                                 // reached twice along x
        CHECK(c[site(w, 0, 1, 0)] == 0.125f && c[site(w, 0, 2, 0)] == 0.125f);
        CHECK(c[site(w, 1, 1, 0)] == 0.0f);
    }

    // a new field stays 0 without secretion; substeps 0 is stored as 1;
    // substeps 3 in one advance equals three single advances
    {
        World one = make_world(6, 5, 4, false);
        World three = make_world(6, 5, 4, false);
        add_field(one, "f", 0.15, 0.02);
        add_field(three, "f", 0.15, 0.02);
        advance_fields(one);
        CHECK(one.fields[0].conc == std::vector<float>(120, 0.0f));
        field_add_source_at(one, 0, 1, 2, 3, 5.0);
        field_add_source_at(three, 0, 1, 2, 3, 5.0);
        set_field_dynamics(one, 0, 1.0, 0);
        set_field_dynamics(three, 0, 1.0, 3);
        CHECK_EQ(one.fields[0].substeps, 1u);
        for (int s = 0; s < 3; ++s) advance_fields(one);
        advance_fields(three);
        CHECK(same_bits(one.fields[0].conc, three.fields[0].conc));
        CHECK(one.fields[0].conc[site(one, 1, 2, 3)] < 5.0f);
    }

    // secretion: r per advance on every site of the type, 2r on a scaled cell,
    // type 0 makes the medium secrete, dt scales it, applied after diffusion
    {
        World w = make_world(3, 3, 1, false);
        const CellId a = add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        const CellId b = add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        const CellId other = add_cell(w, 2, 1.0, 1.0, 0.0, 0.0);
        paint(w, 0, a);
        paint(w, 1, a);
        paint(w, 4, b);
        paint(w, 8, other);
        add_field(w, "f", 0.0, 0.0);
        set_secretion(w, 0, 1, 0.25);
        set_cell_secretion_scale(w, 0, b, 2.0);
        set_cell_secretion_scale(w, 0, 99, 5.0);  // an id without sites changes nothing
        advance_fields(w);
        CHECK(w.fields[0].conc == std::vector<float>({0.25f, 0.25f, 0, 0, 0.5f, 0, 0, 0, 0}));
        advance_fields(w);
        CHECK(w.fields[0].conc == std::vector<float>({0.5f, 0.5f, 0, 0, 1.0f, 0, 0, 0, 0}));

        set_secretion(w, 0, 0, 0.125);
        set_field_dynamics(w, 0, 2.0, 1);
        advance_fields(w);
        CHECK(w.fields[0].conc == std::vector<float>({1.0f, 1.0f, 0.25f, 0.25f, 2.0f, 0.25f, 0.25f, 0.25f, 0}));

        // secretion comes after the substeps: neighbours of a secreting
        // site are still 0 after the first advance
        World v = make_world(3, 1, 1, false);
        paint(v, 1, add_cell(v, 1, 1.0, 1.0, 0.0, 0.0));
        add_field(v, "f", 0.1, 0.0);
        set_field_dynamics(v, 0, 1.0, 4);
        set_secretion(v, 0, 1, 1.0);
        advance_fields(v);
        CHECK(v.fields[0].conc == std::vector<float>({0.0f, 1.0f, 0.0f}));

        // sites of cells that do not secrete are left as diffusion made them,
        // to the bit; a NaN rate secretes NaN
        World z = make_world(3, 1, 1, false);
        paint(z, 1, add_cell(z, 1, 1.0, 1.0, 0.0, 0.0));
        paint(z, 2, add_cell(z, 2, 1.0, 1.0, 0.0, 0.0));
        add_field(z, "f", 0.1, 0.01);
        z.fields[0].conc = {-0.3f, 1.0f, 0.7f};
        World quiet = z;
        set_secretion(z, 0, 1, std::numeric_limits<double>::quiet_NaN());
        advance_fields(z);
        advance_fields(quiet);
        CHECK(std::memcmp(&z.fields[0].conc[0], &quiet.fields[0].conc[0], sizeof(float)) == 0 &&
              std::isnan(z.fields[0].conc[1]) &&
              std::memcmp(&z.fields[0].conc[2], &quiet.fields[0].conc[2], sizeof(float)) == 0);

        // a site holding an id with no record cannot be asked for its type
        paint(v, 2, 9);
        CHECK(throws<EngineError>([&] { advance_fields(v); }, "no record"));
    }

    // a negative source leaves a negative value until the next diffusion step
    {
        World w = make_world(2, 2, 1, false);
        add_field(w, "f", 0.0, 0.0);
        field_add_source_at(w, 0, 1, 0, 0, 0.5);
        field_add_source_at(w, 0, 1, 0, 0, -2.0);
        CHECK(field_value_at(w, 0, 1, 0, 0) == -1.5f);
        advance_fields(w);
        CHECK(field_value_at(w, 0, 1, 0, 0) == 0.0f);
    }

    // coordinates beyond the box are clamped to its last site on each axis;
    // the amount is narrowed to single precision before the addition
    {
        World w = make_world(3, 2, 2, true);
        add_field(w, "f", 0.0, 0.0);
        field_add_source_at(w, 0, 1000, 1000, 1000, 1.0);
        CHECK(w.fields[0].conc[site(w, 2, 1, 1)] == 1.0f);
        CHECK(total(w.fields[0].conc) == 1.0);
        field_add_source_at(w, 0, 1000000, 0, 0, 0.1);
        CHECK(field_value_at(w, 0, 1000000, 0, 0) == 0.1f);
        CHECK(w.fields[0].conc[site(w, 2, 0, 0)] == 0.1f);
        CHECK(field_value_at(w, 0, 2, 1000, 7) == 1.0f);
    }

    // a box without sites: fields advance as no-ops, site queries fail
    {
        World w = make_world(0, 3, 1, false);
        add_field(w, "f", 0.1, 0.0);
        set_secretion(w, 0, 0, 1.0);
        advance_fields(w);
        CHECK(w.fields[0].conc.empty());
        CHECK(throws<EngineError>([&] { field_value_at(w, 0, 0, 0, 0); }, "no sites"));
        CHECK(throws<EngineError>([&] { field_add_source_at(w, 0, 0, 0, 0, 1.0); }, "no sites"));
    }

    // the mean over a cell: registry first, then volume, then field index
    {
        World w = make_world(3, 1, 1, false);
        const CellId a = add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        const CellId empty = add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        paint(w, 0, a);
        paint(w, 2, a);
        add_field(w, "f", 0.0, 0.0);
        w.fields[0].conc = {0.25f, 9.0f, 0.75f};
        CHECK(field_mean_at_cell(w, 0, a) == 0.0);  // volumes not yet computed
        recompute_trackers(w);
        CHECK(field_mean_at_cell(w, 0, a) == 0.5);
        CHECK(field_mean_at_cell(w, 0, MEDIUM) == 9.0);
        CHECK(field_mean_at_cell(w, 7, empty) == 0.0);
        CHECK(throws<EngineError>([&] { field_mean_at_cell(w, 7, 3); }, "not registered"));
        CHECK(throws<EngineError>([&] { field_mean_at_cell(w, 0, 3); }, "not registered"));
        CHECK(throws<EngineError>([&] { field_mean_at_cell(w, 7, a); }, "field index out of range"));
    }

    // decay 0 conserves the total, periodic or closed, up to float rounding
    {
        for (const bool periodic : {true, false}) {
            World w = make_world(9, 8, 7, periodic);
            add_field(w, "f", 0.15, 0.0);
            std::mt19937 gen(7);
            std::uniform_real_distribution<float> value(0.0f, 1.0f);
            for (float& c : w.fields[0].conc) c = value(gen);
            const double before = total(w.fields[0].conc);
            for (int s = 0; s < 50; ++s) advance_fields(w);
            CHECK(std::fabs(total(w.fields[0].conc) - before) < 1e-5 * before);
        }
    }

    // a point source spreads with variance 2·d·dt·steps along each axis
    {
        World w = make_world(31, 31, 31, true);
        add_field(w, "f", 0.1, 0.0);
        field_add_source_at(w, 0, 15, 15, 15, 1.0);
        for (int s = 0; s < 12; ++s) advance_fields(w);
        double mass = 0.0, mean[3] = {0, 0, 0}, var[3] = {0, 0, 0};
        const std::vector<float>& c = w.fields[0].conc;
        for (std::size_t i = 0; i < c.size(); ++i) {
            const Coords p = coords(w.lattice, i);
            const double dx[3] = {double(p.x) - 15.0, double(p.y) - 15.0, double(p.z) - 15.0};
            mass += c[i];
            for (int a = 0; a < 3; ++a) {
                mean[a] += c[i] * dx[a];
                var[a] += c[i] * dx[a] * dx[a];
            }
        }
        CHECK(std::fabs(mass - 1.0) < 1e-5);
        for (int a = 0; a < 3; ++a) {
            CHECK(std::fabs(mean[a]) < 1e-5);
            CHECK(std::fabs(var[a] / mass - 2.0 * 0.1 * 1.0 * 12) < 1e-4);
        }
    }

    // secretion against decay settles at rate/decay
    {
        World w = make_world(4, 4, 1, true);
        const CellId a = add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        for (std::size_t i = 0; i < 16; ++i) paint(w, i, a);
        add_field(w, "f", 0.2, 0.1);
        set_secretion(w, 0, 1, 0.5);
        w.fields[0].conc[5] = 40.0f;  // a peak that diffusion and decay flatten
        for (int s = 0; s < 300; ++s) advance_fields(w);
        for (const float c : w.fields[0].conc) CHECK(std::fabs(c - 5.0) < 1e-4);
    }

    // chemotaxis
    {
        World w = make_world(3, 1, 1, false);
        const CellId one = add_cell(w, 1, 1.0, 1.0, 0.0, 0.0);
        const CellId far = add_cell(w, 5, 1.0, 1.0, 0.0, 0.0);
        CHECK(delta_chemotaxis(w, 1, 0, one) == 0.0);  // no fields

        add_field(w, "a", 0.0, 0.0);
        set_cell_type(w, far, 40);  // beyond the lists of field "a"
        w.fields[0].conc = {0.25f, 0.75f, 1.0f};
        CHECK(delta_chemotaxis(w, 1, 0, one) == 0.0);  // no strength yet

        // plain: up the gradient lowers the energy
        set_chemotaxis(w, 0, 1, 1.0);
        CHECK(delta_chemotaxis(w, 1, 0, one) == -0.5);
        CHECK(delta_chemotaxis(w, 0, 1, one) == 0.5);
        CHECK(delta_chemotaxis(w, 1, 0, far) == 0.0);  // type beyond the list
        set_chemotaxis(w, 0, 1, -1.0);
        CHECK(delta_chemotaxis(w, 1, 0, one) == 0.5);

        // occupancy K = 1, n = 2, s = 1: c = 1 gives g = 1/2, c = 0.25 gives 1/17
        w.fields[0].conc = {0.0f, 1.0f, 0.25f};
        set_chemotaxis_occupancy(w, 0, 1, 2.0, 1.0, 2.0, 1.0);
        CHECK(delta_chemotaxis(w, 1, 0, one) == -1.0);
        CHECK(delta_chemotaxis(w, 2, 1, one) == -2.0 * (1.0 / 17.0 - 0.5));
        // a later plain strength keeps the occupancy form
        set_chemotaxis(w, 0, 1, 4.0);
        CHECK(delta_chemotaxis(w, 1, 0, one) == -2.0);
        // a scale of 0 or below switches every response off
        set_chemotaxis_occupancy(w, 0, 1, 2.0, 1.0, 2.0, 0.0);
        CHECK(delta_chemotaxis(w, 1, 0, one) == 0.0);
        set_chemotaxis_occupancy(w, 0, 1, 2.0, 1.0, 2.0, -3.0);
        CHECK(delta_chemotaxis(w, 1, 0, one) == 0.0);
        // K = 0 behaves like the plain form with the same strength
        set_chemotaxis_occupancy(w, 0, 1, 2.0, 0.0, 2.0, 1.0);
        CHECK(delta_chemotaxis(w, 2, 1, one) == -2.0 * (0.25 - 1.0));
        // strength 0 with occupancy parameters contributes nothing
        set_chemotaxis_occupancy(w, 0, 1, 0.0, 1.0, 2.0, 1.0);
        CHECK(delta_chemotaxis(w, 1, 0, one) == 0.0);

        // two fields add their contributions, in field order
        set_chemotaxis(w, 0, 1, 1.0);
        set_chemotaxis_occupancy(w, 0, 1, 1.0, 0.0, 0.0, 0.0);
        add_field(w, "b", 0.0, 0.0);
        w.fields[1].conc = {0.5f, 0.0f, 0.0f};
        set_chemotaxis(w, 1, 1, 3.0);
        CHECK(delta_chemotaxis(w, 1, 0, one) == -1.0 + 1.5);

        // the medium is subject to the term like any type
        set_chemotaxis(w, 0, 0, 1.0);
        CHECK(delta_chemotaxis(w, 1, 0, MEDIUM) == -1.0);
        // a NaN strength counts as set and poisons the sum
        set_chemotaxis(w, 1, 1, std::nan(""));
        CHECK(std::isnan(delta_chemotaxis(w, 1, 0, one)));
    }

    // a fixed value past the faces of a line of 4: the end sites gain
    // d·(b − c) from outside, 0.1 each from 0; a planar box has 4 faces per
    // site (x, y), not 6; None (nullopt) restores no flux
    {
        // (y wraps onto the site itself: a line with x faces only)
        World w(Lattice({4, 1, 1}, {false, true, true}, Neighborhood(0, 1)), 1.0);
        add_field(w, "o", 0.1, 0.0);
        set_field_boundary(w, 0, 1.0);
        advance_fields(w);
        CHECK(w.fields[0].conc == std::vector<float>({0.1f, 0.0f, 0.0f, 0.1f}));
        // again: site 0 has c = 0.1, lap = (1 − 0.1) + (0 − 0.1) = 0.8 in single precision
        advance_fields(w);
        const float lap = (1.0f - 0.1f) + (0.0f - 0.1f);
        CHECK(w.fields[0].conc[0] == static_cast<float>((static_cast<double>(lap) * 0.1) * 1.0 + double{0.1f}));
        CHECK(w.fields[0].conc[1] == static_cast<float>(double{0.1f - 0.0f} * 0.1));
        World one = make_world(1, 1, 1, false);
        add_field(one, "o", 0.1, 0.0);
        set_field_boundary(one, 0, 1.0);
        advance_fields(one);
        CHECK(one.fields[0].conc[0] == 0.4f);
        set_field_boundary(one, 0, std::nullopt);
        advance_fields(one);
        CHECK(one.fields[0].conc[0] == 0.4f);
        CHECK(throws<EngineError>([&] { set_field_boundary(one, 0, -1.0); }, "value: must be finite and >= 0"));
        CHECK(throws<EngineError>([&] { set_field_boundary(one, 0, std::nan("")); }, "value"));
        CHECK(throws<EngineError>([&] { set_field_boundary(one, 1, 1.0); }, "field index out of range"));
    }

    // uptake on one site, after secretion: c = 2 − min(2, dt·rate·s·c/(km + c))
    {
        World w = make_world(1, 1, 1, false);
        const CellId c = add_cell(w, 1, 1.0, 0.0, 0.0, 0.0);
        paint(w, 0, c);
        recompute_trackers(w);
        add_field(w, "o", 0.0, 0.0);
        const auto after = [&](double start, double rate, double km, const std::string& by) {
            w.fields[0].conc[0] = static_cast<float>(start);
            set_uptake(w, 0, 1, rate, km, by);
            advance_fields(w);
            return w.fields[0].conc[0];
        };
        CHECK(after(2.0, 0.5, 0.0, "") == 1.5f);      // zero order
        CHECK(after(2.0, 0.5, 2.0, "") == 1.75f);     // 0.5·2/(2 + 2)
        CHECK(after(2.0, 10.0, 0.0, "") == 0.0f);     // never below zero
        CHECK(after(2.0, 1e300, 1e-300, "") == 0.0f);
        CHECK(after(0.0, 0.5, 0.0, "") == 0.0f);
        set_field_dynamics(w, 0, 0.5, 1);
        CHECK(after(2.0, 0.5, 0.0, "") == 1.75f);     // times dt, as secretion
        add_cell_attribute(w, "vigour", 3.0, OnDivide::copy);
        CHECK(after(2.0, 0.5, 0.0, "vigour") == 1.25f);  // 0.5·(0.5·3)
        w.state.attributes[0].values[c] = -1.0;
        CHECK(after(2.0, 0.5, 0.0, "vigour") == 2.0f);   // a negative scale takes nothing
        w.state.attributes[0].values[c] = std::nan("");
        CHECK(after(2.0, 0.5, 0.0, "vigour") == 2.0f);
        // secretion first: 0 + 0.5·1 secreted, then 0.5·0.5 taken
        set_secretion(w, 0, 1, 1.0);
        CHECK(after(0.0, 0.5, 0.0, "") == 0.25f);
        // the exact arithmetic: in double from the stored value, stored as single
        set_secretion(w, 0, 1, 0.0);
        set_field_dynamics(w, 0, 1.0, 1);
        const double c0 = double{0.9f}, r = 0.7 * c0 / (0.2 + c0);
        CHECK(after(0.9, 0.7, 0.2, "") == static_cast<float>(c0 - r));
        CHECK(throws<EngineError>([&] { set_uptake(w, 0, 1, -1.0, 0.0, ""); }, "max_rate: must be >= 0"));
        CHECK(throws<EngineError>([&] { set_uptake(w, 0, 1, std::nan(""), 0.0, ""); }, "max_rate"));
        CHECK(throws<EngineError>([&] { set_uptake(w, 0, 1, 1.0, -0.5, ""); }, "km: must be >= 0"));
        CHECK(throws<EngineError>([&] { set_uptake(w, 0, 1, 1.0, 0.0, "zest"); },
                                  "scale_by: no cell attribute named 'zest'"));
        CHECK(w.fields[0].uptake[1].max_rate == 0.7);
    }

    // per-record means in one pass: field_mean_at_cell's sums exactly, NaN without sites
    {
        World w = make_world(5, 4, 3, true);
        std::mt19937 gen(3);
        std::uniform_real_distribution<float> value(0.0f, 5.0f);
        for (CellId id = 1; id <= 4; ++id) add_cell(w, 1, 1.0, 0.0, 0.0, 0.0);
        for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) paint(w, i, static_cast<CellId>(i % 7 % 4));
        recompute_trackers(w);
        add_field(w, "o", 0.0, 0.0);
        for (float& v : w.fields[0].conc) v = value(gen);
        add_cell(w, 1, 1.0, 0.0, 0.0, 0.0);
        std::vector<double> means;
        field_means(w, 0, means);
        CHECK_EQ(means.size(), 6u);
        for (CellId id = 0; id <= 3; ++id) CHECK(means[id] == field_mean_at_cell(w, 0, id));
        CHECK(std::isnan(means[4]) && std::isnan(means[5]));
        CHECK(throws<EngineError>([&] { field_means(w, 1, means); }, "field index out of range"));
    }

    return tessaly_test::finish();
}
