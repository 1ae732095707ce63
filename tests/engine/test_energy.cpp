// Contact, volume and surface energy of a proposed copy.
#include <cmath>
#include <vector>

#include "check.hpp"
#include "energy.hpp"
#include "error.hpp"
#include "world.hpp"

using namespace tessaly;

namespace {

World make_world(std::size_t nx, std::size_t ny, std::size_t nz, bool periodic, std::uint8_t order) {
    return World(Lattice({nx, ny, nz}, {periodic, periodic, periodic}, Neighborhood(nz >= 2 ? 1 : 0, order)), 1.0);
}

// The total contact, volume and surface energy, straight from its definition.
double hamiltonian(const World& w) {
    double h = 0.0;
    const Lattice& lat = w.lattice;
    for (std::size_t i = 0; i < lat.n_sites(); ++i)
        for (const std::size_t j : neighbors(lat, i)) {
            const CellId a = lat.sites[i], b = lat.sites[j];
            if (a != b) h += 0.5 * contact_energy(w.contact, w.cells[a].cell_type, w.cells[b].cell_type);
        }
    for (const Cell& c : w.cells) {
        if (c.id == MEDIUM) continue;
        const double dv = static_cast<double>(c.trackers.volume) - c.target_volume;
        const double ds = static_cast<double>(c.trackers.surface) - c.target_surface;
        h += c.lambda_volume * dv * dv + c.lambda_surface * ds * ds;
    }
    return h;
}

}  // namespace

int main() {
    // the contact table
    {
        ContactMatrix m(0);
        CHECK(m.n == 1 && m.data[0] == 0.0);
        ContactMatrix t(3);
        set_pair(t, 1, 2, 5.0);
        set_pair(t, 2, 1, 7.0);
        CHECK(contact_energy(t, 1, 2) == 7.0 && contact_energy(t, 2, 1) == 7.0);
        CHECK(contact_energy(t, 1, 9) == 0.0);
        CHECK(tessaly_test::throws<EngineError>([&] { set_pair(t, 3, 0, 1.0); }));
        CHECK(tessaly_test::throws<std::bad_alloc>([] { ContactMatrix huge(std::size_t{1} << 33); }));
    }

    // the hand-derived example: ΔH = 5.0 for growing the centre cell downwards
    for (const bool swapped : {false, true}) {
        World w = make_world(3, 3, 3, false, 1);
        add_cell(w, 1, 2.0, 1.0, 0.0, 0.0);
        paint(w, 13, 1);
        ContactMatrix m(2);
        if (swapped) {
            set_pair(m, 0, 1, 2.0);
        } else {
            set_pair(m, 1, 0, 2.0);
        }
        set_contact_matrix(w, std::move(m));
        recompute_trackers(w);
        CHECK_EQ(delta_hamiltonian(w, 1 + 3 * 1 + 9 * 0, 1), 5.0);
        CHECK_EQ(delta_hamiltonian(w, 13, 1), 0.0);
        CHECK(tessaly_test::throws<EngineError>([&] { (void)delta_hamiltonian(w, 27, 1); }));
    }

    // a type beyond the table has no contact energy on either side
    {
        World w = make_world(3, 3, 1, false, 1);
        add_cell(w, 5, 0.0, 0.0, 0.0, 0.0);
        paint(w, 4, 1);
        ContactMatrix m(2);
        set_pair(m, 0, 0, 3.0);
        set_pair(m, 0, 1, 3.0);
        set_contact_matrix(w, std::move(m));
        recompute_trackers(w);
        CHECK_EQ(delta_hamiltonian(w, 1, 1), 0.0);
        // growing the table in the running phase prices it from then on
        set_contact_live(w, 5, 0, 1.5);
        CHECK(w.contact.n == 6 && contact_energy(w.contact, 0, 1) == 3.0);
        CHECK_EQ(delta_hamiltonian(w, 1, 1), 1.5);  // two medium contacts gained, one lost
    }

    // ΔH equals H(after) − H(before) for every possible copy of a mixed world,
    // with the surface term on and off
    for (const double lambda_surface : {0.0, 0.7})
        for (const bool periodic : {false, true}) {
            World w = make_world(5, 4, 3, periodic, 2);
            const CellId a = add_cell(w, 1, 6.0, 1.5, 10.0, lambda_surface);
            const CellId b = add_cell(w, 2, 3.0, 2.0, 8.0, lambda_surface);
            const CellId c = add_cell(w, 1, 5.0, 0.5, 9.0, 0.0);
            for (std::size_t i = 0; i < w.lattice.n_sites(); ++i) paint(w, i, static_cast<CellId>((i * 7 + i / 5) % 4));
            (void)a, (void)b, (void)c;
            ContactMatrix m(3);
            set_pair(m, 0, 1, 4.0);
            set_pair(m, 0, 2, 6.0);
            set_pair(m, 1, 1, 1.0);
            set_pair(m, 1, 2, 3.5);
            set_pair(m, 2, 2, 2.0);
            set_contact_matrix(w, std::move(m));
            recompute_trackers(w);
            const double h0 = hamiltonian(w);
            bool all_match = true;
            for (std::size_t i = 0; i < w.lattice.n_sites(); ++i)
                for (CellId n = 0; n < 4; ++n) {
                    World after = w;
                    const double dh = delta_hamiltonian(w, i, n);
                    apply_flip(after, i, n);
                    all_match = all_match && std::fabs((hamiltonian(after) - h0) - dh) < 1e-9;
                }
            CHECK(all_match);
        }

    // with every λS zero the surface term is skipped, whatever the targets
    {
        World w = make_world(3, 3, 1, false, 1);
        add_cell(w, 1, 1.0, 0.0, 100.0, 0.0);
        paint(w, 4, 1);
        recompute_trackers(w);
        CHECK(!w.surface_active);
        CHECK_EQ(delta_hamiltonian(w, 1, 1), 0.0);
    }
    return tessaly_test::finish();
}
