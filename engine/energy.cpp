#include "energy.hpp"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

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

namespace {

// Σ over the neighbours of [σ ≠ n]·J(τn, τ) − [σ ≠ o]·J(τo, τ), in list
// order; a site is never its own neighbour. The rows of the two types are
// looked up once; a type beyond the table has none.
template <typename TypeOf>
inline double contact_sum(const World& w, std::size_t i, CellId o, CellId n, CellType type_o, CellType type_n,
                          const SiteList& nb, TypeOf type_of) {
    const CellId* sites = w.lattice.sites.data();
    const ContactMatrix& contact = w.contact;
    const std::size_t side = contact.n;
    const double* row_n = type_n < side ? &contact.data[type_n * side] : nullptr;
    const double* row_o = type_o < side ? &contact.data[type_o * side] : nullptr;
    double cs = 0.0;
    for (const std::size_t j : nb) {
        if (j == i) continue;
        const CellId sigma = sites[j];
        const CellType tau = type_of(sigma);
        const bool known = tau < side;
        const double t = (sigma != n && row_n != nullptr && known) ? row_n[tau] : 0.0;
        const double u = (sigma != o && row_o != nullptr && known) ? row_o[tau] : 0.0;
        cs += t - u;
    }
    return cs;
}

// The same sum from the padded copy: every entry read is a valid position
// (a type beyond the side reads the zero padding, +0.0 as the unpadded sum
// would take), and the two id tests become masks instead of branches.
inline double contact_sum_padded(const World& w, std::size_t i, CellId o, CellId n, const SiteList& nb,
                                 const ContactCopy& copy) {
    const CellId* sites = w.lattice.sites.data();
    const CellType* types = copy.types.data();
    const double* row_n = copy.table.data() + std::size_t{types[n]} * copy.stride;
    const double* row_o = copy.table.data() + std::size_t{types[o]} * copy.stride;
    double cs = 0.0;
    for (const std::size_t j : nb) {
        if (j == i) continue;
        const CellId sigma = sites[j];
        const CellType tau = types[sigma];
        const std::uint64_t keep_t = std::uint64_t{0} - std::uint64_t{sigma != n};
        const std::uint64_t keep_u = std::uint64_t{0} - std::uint64_t{sigma != o};
        const double t = std::bit_cast<double>(std::bit_cast<std::uint64_t>(row_n[tau]) & keep_t);
        const double u = std::bit_cast<double>(std::bit_cast<std::uint64_t>(row_o[tau]) & keep_u);
        cs += t - u;
    }
    return cs;
}

}  // namespace

double delta_hamiltonian_with(const World& w, std::size_t i, CellId o, CellId n, const SiteList& nb,
                              const SurfaceDeltas& deltas, const ContactCopy* copy) {
    const Cell& cell_o = w.cells[o];
    const Cell& cell_n = w.cells[n];

    // volume
    double acc = 0.0;
    if (o != MEDIUM) {
        const double before = static_cast<double>(cell_o.volume) - cell_o.target_volume;
        const double after = static_cast<double>(cell_o.volume - 1) - cell_o.target_volume;
        acc += (after * after - before * before) * cell_o.lambda_volume;
    }
    if (n != MEDIUM) {
        const double before = static_cast<double>(cell_n.volume) - cell_n.target_volume;
        const double after = static_cast<double>(cell_n.volume + 1) - cell_n.target_volume;
        acc += (after * after - before * before) * cell_n.lambda_volume;
    }

    // surface, only while some cell has a surface term
    if (w.surface_active) {
        for (const SurfaceDelta& entry : deltas) {
            if (entry.id == MEDIUM) continue;
            const Cell& c = w.cells[entry.id];
            const double before = static_cast<double>(c.surface) - c.target_surface;
            const double after = static_cast<double>(c.surface + entry.delta) - c.target_surface;
            acc += (after * after - before * before) * c.lambda_surface;
        }
    }

    // contact, summed apart and added last
    const CellType type_o = cell_o.cell_type, type_n = cell_n.cell_type;
    double cs;
    if (copy == nullptr) {
        const Cell* cells = w.cells.data();
        cs = contact_sum(w, i, o, n, type_o, type_n, nb, [cells](CellId id) { return cells[id].cell_type; });
    } else if (copy->table.empty()) {
        const CellType* types = copy->types.data();
        cs = contact_sum(w, i, o, n, type_o, type_n, nb, [types](CellId id) { return types[id]; });
    } else {
        cs = contact_sum_padded(w, i, o, n, nb, *copy);
    }
    return acc + cs;
}

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
    return delta_hamiltonian_with(w, i, o, n, nb, deltas);
}

}  // namespace tessaly
