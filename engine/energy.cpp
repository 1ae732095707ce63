#include "energy.hpp"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "attempt.hpp"
#include "error.hpp"
#include "world.hpp"

namespace tessaly {

void ZeroedDoubles::Free::operator()(double* p) const { std::free(p); }

ZeroedDoubles::ZeroedDoubles(std::size_t count) : size(count) {
    if (count > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
    void* p = std::calloc(count == 0 ? 1 : count, sizeof(double));
    if (p == nullptr) throw std::bad_alloc();
    ptr.reset(static_cast<double*>(p));
}

ZeroedDoubles::ZeroedDoubles(const ZeroedDoubles& other) : ZeroedDoubles(other.size) {
    if (size) std::memcpy(ptr.get(), other.ptr.get(), size * sizeof(double));
}

ZeroedDoubles& ZeroedDoubles::operator=(const ZeroedDoubles& other) {
    if (this != &other) *this = ZeroedDoubles(other);
    return *this;
}

namespace {

std::size_t table_entries(std::size_t side) {
    std::size_t entries = 0;
    if (__builtin_mul_overflow(side, side, &entries)) throw std::bad_alloc();
    return entries;
}

}  // namespace

ContactMatrix::ContactMatrix(std::size_t side)
    : data(table_entries(side == 0 ? 1 : side)), n(side == 0 ? 1 : side) {}

void set_pair(ContactMatrix& contact, CellType a, CellType b, double j) {
    if (a >= contact.n || b >= contact.n) fail("contact pair beyond the table");
    contact.data[a * contact.n + b] = j;
    contact.data[b * contact.n + a] = j;
}

void set_contact_matrix(World& w, ContactMatrix contact) { w.contact = std::move(contact); }

void set_contact_live(World& w, CellType a, CellType b, double j) {
    const std::size_t needed = std::size_t{a > b ? a : b} + 1;
    if (needed > w.contact.n) {
        // new rows and columns are 0.0, which changes no existing energy
        ContactMatrix grown(needed);
        for (std::size_t r = 0; r < w.contact.n; ++r)
            for (std::size_t c = 0; c < w.contact.n; ++c) grown.data[r * needed + c] = w.contact.data[r * w.contact.n + c];
        w.contact = std::move(grown);
    }
    set_pair(w.contact, a, b, j);
}

void unregistered(CellId id) { fail("cell id " + std::to_string(id) + " is not registered"); }

void copy_contacts(const World& w, ContactCopy& out) {
    const std::size_t side = w.contact.n;
    const bool small = side <= ContactCopy::max_side;
    out.types.clear();
    out.types.reserve(w.cells.size());
    for (const Cell& cell : w.cells)
        out.types.push_back(small && cell.cell_type >= side ? static_cast<CellType>(side) : cell.cell_type);
    out.table.clear();
    out.stride = 0;
    if (!small) return;
    out.stride = side + 1;
    out.table.assign(out.stride * out.stride, 0.0);
    for (std::size_t a = 0; a < side; ++a)
        for (std::size_t b = 0; b < side; ++b) out.table[a * out.stride + b] = w.contact.data[a * side + b];
}

double delta_hamiltonian(const World& w, std::size_t i, CellId n) {
    const Lattice& lat = w.lattice;
    if (i >= lat.n_sites()) fail("site index out of range");
    const CellId o = lat.sites[i];
    if (n == o) return 0.0;
    (void)cell_at(w, o);
    (void)cell_at(w, n);
    SiteList nb;
    neighbors_into(lat, i, nb);
    for (const std::size_t j : nb) (void)cell_at(w, lat.sites[j]);
    SurfaceDeltas deltas;
    if (w.surface_active) surface_deltas_into(w, i, n, nb, deltas);
    const Cell* cells = w.cells.data();
    const CellType type_n = cells[n].cell_type, type_o = cells[o].cell_type;
    const double cs = contact_sum<false>(
        lat.sites.data(), w.cells.size(), i, o, n, nb, [cells](CellId id) { return cells[id].cell_type; },
        [&w, type_n, type_o](CellType tau) {
            return std::pair{contact_energy(w.contact, type_n, tau), contact_energy(w.contact, type_o, tau)};
        });
    return volume_surface_change(w, RegistryTrackers{w.cells.data()}, o, n, deltas) + cs;
}

}  // namespace tessaly
