// Contact, volume and surface energy of a proposed copy.
//
// volume:  for the losing cell (dv = −1), then the gaining one (dv = +1),
//          MEDIUM excluded: ((V+dv−V*)² − (V−V*)²)·λV
// surface: for each (cell, ΔS) of the sorted surface-delta list, MEDIUM
//          excluded, only while some cell has λS ≠ 0: ((S+ΔS−S*)² − (S−S*)²)·λS
// contact: Σ over neighbours j (σ = id at j, τ its type) of
//          [σ ≠ n]·J(τn, τ) − [σ ≠ o]·J(τo, τ), accumulated apart and added last
#pragma once

#include <cstddef>
#include <memory>
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

// Change of contact, volume and surface energy if site i took id n.
double delta_hamiltonian(const World& w, std::size_t i, CellId n);

// A compact copy, for the sequential sweep, of what the contact sum reads:
// the type of every registered id and, while the table is small, the
// contact table padded by one zero row and column that stands for every
// type beyond its side (such ids are stored with that type). Built from the
// world at the start of a step; nothing changes types or energies during one.
struct ContactCopy {
    static constexpr std::size_t max_side = 64;  // larger tables are read in place
    std::vector<CellType> types;  // by id; clamped to the padding while `table` is in use
    std::vector<double> table;    // (side + 1)² entries, or empty
    std::size_t stride = 0;       // side + 1 while `table` is in use
};
void copy_contacts(const World& w, ContactCopy& out);

// The same for the sweep, which has the target's old id o, its neighbour
// list and (while the surface term is on) its surface-delta list at hand,
// and optionally the contact copy above. No checks: the world is consistent.
double delta_hamiltonian_with(const World& w, std::size_t i, CellId o, CellId n, const SiteList& nb,
                              const SurfaceDeltas& deltas, const ContactCopy* copy = nullptr);

}  // namespace tessaly
