// Contact, volume and surface energy of a proposed copy.
//
// volume:  for the losing cell (dv = −1), then the gaining one (dv = +1),
//          MEDIUM excluded: ((V+dv−V*)² − (V−V*)²)·λV
// surface: for each (cell, ΔS) of the sorted surface-delta list, MEDIUM
//          excluded, only while some cell has λS ≠ 0: ((S+ΔS−S*)² − (S−S*)²)·λS
// contact: Σ over neighbours j (σ = id at j, τ its type) of
//          [σ ≠ n]·J(τn, τ) − [σ ≠ o]·J(τo, τ), accumulated apart and added last
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "lattice.hpp"
#include "small_vector.hpp"

namespace tessaly {

struct World;

// One entry of a surface-delta list: the change of a cell's surface tracker
// that a copy causes. Lists are sorted by id, one entry per id.
struct SurfaceDelta {
    CellId id;
    std::int64_t delta;
};
using SurfaceDeltas = SmallVec<SurfaceDelta, 8>;

// The table is zero-allocated (calloc), so a large table costs address space
// only for the rows that are never written.
struct ZeroedDoubles {
    struct Free {
        void operator()(double* p) const;
    };
    std::unique_ptr<double[], Free> ptr;
    std::size_t size = 0;

    explicit ZeroedDoubles(std::size_t count);  // throws std::bad_alloc
    ZeroedDoubles(const ZeroedDoubles& other);
    ZeroedDoubles& operator=(const ZeroedDoubles& other);
    ZeroedDoubles(ZeroedDoubles&&) noexcept = default;
    ZeroedDoubles& operator=(ZeroedDoubles&&) noexcept = default;

    double& operator[](std::size_t k) { return ptr[k]; }
    const double& operator[](std::size_t k) const { return ptr[k]; }
};

struct ContactMatrix {
    ZeroedDoubles data;  // row-major n·n table of contact energies
    std::size_t n;       // side: number of types covered, at least 1

    // A table of side max(side, 1), every entry 0.0; throws std::bad_alloc
    // when it cannot be held (n·n overflowing included).
    explicit ContactMatrix(std::size_t side);
};

// Writes j at (a, b) and (b, a); both types must lie below the side.
void set_pair(ContactMatrix& contact, CellType a, CellType b, double j);

// J(a, b): the entry, or 0.0 when either type lies beyond the side.
inline double contact_energy(const ContactMatrix& contact, CellType a, CellType b) {
    return (a < contact.n && b < contact.n) ? contact.data[a * contact.n + b] : 0.0;
}

// Replaces the world's contact table.
void set_contact_matrix(World& w, ContactMatrix contact);

// Grows the world's table to cover type t (new entries 0.0, existing ones kept),
// then sets the pair; used by set_contact in the running phase.
void set_contact_live(World& w, CellType a, CellType b, double j);

// Change of contact, volume and surface energy if site i took id n (checked).
double delta_hamiltonian(const World& w, std::size_t i, CellId n);

// A compact copy, for the sweeps, of what the contact sum reads: the type
// of every registered id and, while the table is small, the contact table
// padded by one zero row and column that stands for every type beyond its
// side (such ids are stored with that type). Built from the world at the
// start of a sweep call; nothing changes types or energies during one.
struct ContactCopy {
    static constexpr std::size_t max_side = 64;  // larger tables are read in place
    std::vector<CellType> types;  // by id; clamped to the padding while `table` is in use
    std::vector<double> table;    // (side + 1)² entries, or empty
    std::size_t stride = 0;       // side + 1 while `table` is in use
};
void copy_contacts(const World& w, ContactCopy& out);

[[noreturn]] void unregistered(CellId id);  // fails: "cell id N is not registered"

// The contact sum of a copy of site i from o to n, accumulated in list
// order, a site never being its own neighbour. `type_of(σ)` gives the type
// τ of an id, `energies(τ)` the pair (J(τn, τ), J(τo, τ)); the two id tests
// are masks instead of branches. With `Checked` an id at or beyond n_cells
// fails.
template <bool Checked, typename TypeOf, typename Energies>
inline double contact_sum(const CellId* sites, std::size_t n_cells, std::size_t i, CellId o, CellId n,
                          const SiteList& nb, TypeOf type_of, Energies energies) {
    double cs = 0.0;
    for (const std::size_t j : nb) {
        if (j == i) continue;
        const CellId sigma = sites[j];
        if constexpr (Checked) {
            if (sigma >= n_cells) unregistered(sigma);
        }
        const auto [j_new, j_old] = energies(type_of(sigma));
        const std::uint64_t keep_t = std::uint64_t{0} - std::uint64_t{sigma != n};
        const std::uint64_t keep_u = std::uint64_t{0} - std::uint64_t{sigma != o};
        const double gain = std::bit_cast<double>(std::bit_cast<std::uint64_t>(j_new) & keep_t);
        const double loss = std::bit_cast<double>(std::bit_cast<std::uint64_t>(j_old) & keep_u);
        cs += gain - loss;
    }
    return cs;
}

// The sum of the sweeps, from the contact copy: the padded table where it
// is in use (a type beyond the side reads the zero padding, +0.0 as the
// unpadded sum takes), else the world's table read in place.
template <bool Checked>
inline double contact_sum_copy(const ContactMatrix& contact, const ContactCopy& copy, const CellId* sites,
                                     std::size_t n_cells, std::size_t i, CellId o, CellId n, const SiteList& nb) {
    const CellType* types = copy.types.data();
    const auto type_of = [types](CellId id) { return types[id]; };
    if (!copy.table.empty()) {
        const double* row_n = copy.table.data() + std::size_t{types[n]} * copy.stride;
        const double* row_o = copy.table.data() + std::size_t{types[o]} * copy.stride;
        return contact_sum<Checked>(sites, n_cells, i, o, n, nb, type_of,
                                    [=](CellType tau) { return std::pair{row_n[tau], row_o[tau]}; });
    }
    const CellType type_n = types[n], type_o = types[o];
    return contact_sum<Checked>(sites, n_cells, i, o, n, nb, type_of, [&contact, type_n, type_o](CellType tau) {
        return std::pair{contact_energy(contact, type_n, tau), contact_energy(contact, type_o, tau)};
    });
}

}  // namespace tessaly
