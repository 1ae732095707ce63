// Fuzz target for the engine: the input bytes are decoded into one small
// world and a sequence of operations on it, in the phases the Python module
// allows them (painting and registering before the driver exists, the sweeps
// after). EngineError and std::bad_alloc are expected outcomes of misuse;
// a crash, a sanitizer report or a broken invariant is a finding.
//
// Invariants, checked after every operation once the trackers are valid:
// every tracker equals a fresh recomputation from the site array, the
// contact areas of each cell add up to its surface, every site holds a
// registered id, and the guard flags agree with the settings behind them.
//
// Build and run (clang, libFuzzer, ASan, UBSan):   ./dev fuzz [seconds]
// Replay one input:                               build/fuzz/fuzz_engine crash-<hash>
// Compiled with -DFUZZ_TRACE the target lists the operations it decodes.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "connectivity.hpp"
#include "energy.hpp"
#include "error.hpp"
#include "external.hpp"
#include "field.hpp"
#include "init.hpp"
#include "lattice.hpp"
#include "length.hpp"
#include "membrane.hpp"
#include "mitosis.hpp"
#include "parallel.hpp"
#include "sweep.hpp"
#include "world.hpp"

using namespace tessaly;

namespace {

// ---- decoding ----

// Reads the input front to back; past its end every read yields 0.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    bool more() const { return at < size; }
    std::uint8_t u8() { return at < size ? data[at++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16); }
    std::uint64_t u64() { return static_cast<std::uint64_t>(u32()) | (static_cast<std::uint64_t>(u32()) << 32); }
    bool flag() { return (u8() & 1) != 0; }

    // Mostly ordinary numbers, now and then the extremes of a double.
    double f64() {
        static const double special[] = {0.0,     -0.0,     1.0,   -1.0,   0.5,    2.0,
                                         10.0,    16.0,     1e300, -1e300, 1e-300, 5e-324,
                                         HUGE_VAL, -HUGE_VAL, std::numeric_limits<double>::quiet_NaN(), 3.0};
        const std::uint8_t b = u8();
        if (b < 16) return special[b];
        if (b < 32) {
            const std::uint64_t bits = u64();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return d;
        }
        return static_cast<double>(static_cast<int>(b) - 144) / 8.0;  // −14 .. 13.875 in steps of 1/8
    }
};

[[noreturn]] void finding(const char* what, std::size_t id) {
    std::fprintf(stderr, "invariant broken: %s (cell %zu)\n", what, id);
    std::abort();
}

// ---- invariants ----

bool same_trackers(const Cell& a, const Cell& b) {
    return a.trackers == b.trackers;
}

void check_world(const World& w) {
    for (const CellId id : w.lattice.sites)
        if (id >= w.cells.size()) finding("a site holds an unregistered id", id);
    World fresh = w;
    recompute_trackers(fresh);
    refresh_terms(fresh);
    for (std::size_t id = 0; id < w.cells.size(); ++id) {
        if (w.cells[id].id != id) finding("record id differs from its position", id);
        if (!same_trackers(w.cells[id], fresh.cells[id])) finding("trackers differ from a recomputation", id);
    }
    if (w.surface_active != fresh.surface_active) finding("surface_active out of date", 0);
    const Terms &now = w.terms, &then = fresh.terms;
    if (now.connectivity.on != then.connectivity.on || now.membrane.on != then.membrane.on ||
        now.junction.on != then.junction.on || now.length.on != then.length.on || now.external.on != then.external.on ||
        now.chemotaxis.on != then.chemotaxis.on || now.energy_on != then.energy_on)
        finding("a guard flag out of date", 0);
    // contact areas add up to the surface (the first cells; each costs a lattice scan)
    const std::size_t checked = std::min<std::size_t>(w.cells.size(), 24);
    for (std::size_t id = 0; id < checked; ++id) {
        std::int64_t total = 0;
        for (const auto& entry : contact_area_by_type(w, static_cast<CellId>(id))) total += entry.second;
        if (total != w.cells[id].trackers.surface) finding("contact areas do not add up to the surface", id);
    }
    for (const Field& f : w.fields)
        if (f.conc.size() != w.lattice.n_sites()) finding("a field lost its size", 0);
}

// ---- the session ----

constexpr std::size_t max_cells = 600;   // divisions double the registry: keep it small
constexpr CellType max_table_type = 40;  // types that size the contact table stay small

struct Session {
    Reader in;
    std::optional<World> setup;  // before finalize
    std::optional<Cpm> cpm;      // after
    std::vector<std::pair<std::pair<CellType, CellType>, double>> pending;  // contact energies before finalize
    CellType max_type = 0;
    bool trackers_valid = false;  // in the set-up phase: since the last recomputation, nothing painted

    World& world() { return cpm ? cpm->world : *setup; }

    CellType table_type() {
        const CellType t = static_cast<CellType>(in.u8() % (max_table_type + 1));
        max_type = std::max(max_type, t);
        return t;
    }
    CellType any_type() { return in.flag() ? static_cast<CellType>(in.u8() % 8) : in.u16(); }
    // A registered id most of the time, else just beyond the registry or anything.
    CellId cell_id() {
        const std::size_t n = world().cells.size();
        const std::uint8_t b = in.u8();
        if (b < 200) return static_cast<CellId>(b % n);
        if (b < 250) return static_cast<CellId>(n + b % 3);
        return in.u32();
    }
    std::size_t site() {
        const std::size_t n = world().lattice.n_sites();
        const std::uint8_t b = in.u8();
        if (b < 230 && n > 0) return in.u16() % n;
        return b < 250 ? n + b % 3 : static_cast<std::size_t>(in.u64());
    }
    std::size_t field_idx() {
        const std::size_t n = world().fields.size();
        const std::uint8_t b = in.u8();
        if (b < 220 && n > 0) return b % n;
        return b < 250 ? n + b % 2 : static_cast<std::size_t>(in.u64());
    }
    std::size_t coordinate() { return in.flag() ? in.u8() % 8 : static_cast<std::size_t>(in.u64()); }

    void run();
    void operation(std::uint8_t op);
};

World make_world(Reader& in) {
    const std::uint8_t shape = in.u8();
    std::size_t dims[3];
    for (std::size_t& d : dims) d = in.u8() % 7;  // 0 .. 6: empty boxes included
    if (shape & 1) dims[2] = 1;                   // planar
    if ((shape & 6) == 0 && dims[0] == 0) dims[0] = 1;
    const std::array<bool, 3> periodic{in.flag(), in.flag(), in.flag()};
    const std::uint8_t order_byte = in.u8();
    const std::uint8_t order = order_byte >= 250 ? order_byte : static_cast<std::uint8_t>(order_byte % 4);
    Neighborhood nb(dims[2] >= 2 ? 1U : 0U, order);
    return World(Lattice({dims[0], dims[1], dims[2]}, periodic, std::move(nb)), in.f64());
}

void Session::run() {
    setup.emplace(make_world(in));
    trackers_valid = true;  // a new world: every tracker 0, every site the medium
    World& w = *setup;
    recompute_trackers(w);
    while (in.more()) {
        try {
            operation(in.u8());
        } catch (const EngineError&) {
        } catch (const std::bad_alloc&) {
        }
        if (cpm || trackers_valid) check_world(world());
    }
}

void Session::operation(std::uint8_t op) {
    World& w = world();
#ifdef FUZZ_TRACE
    std::fprintf(stderr, "op %u, %zu cells, %s\n", op % 24u, w.cells.size(), cpm ? "running" : "set-up");
#endif
    switch (op % 24) {
    // -- set-up only: registering and painting --
    case 0:
        if (!cpm && w.cells.size() < max_cells)
            add_cell(w, table_type(), in.f64(), in.f64(), in.f64(), in.f64());
        break;
    case 1:
        if (!cpm) {
            const std::size_t s = site();
            const CellId id = cell_id();
            paint(w, s, id);
            trackers_valid = false;
        }
        break;
    case 2:
        if (!cpm && w.cells.size() < max_cells) {
            std::vector<std::uint32_t> labels(w.lattice.n_sites() + (in.u8() % 16 == 0 ? 1 : 0));
            const std::uint8_t pool = in.u8() % 8;
            for (std::uint32_t& label : labels) label = pool == 0 ? 0 : (in.u8() % (pool + 1)) * 0x20000001u;
            std::unordered_map<std::uint32_t, CellType> types;
            for (std::uint8_t k = in.u8() % 4; k > 0; --k) types[in.u8() % 3 * 0x20000001u] = table_type();
            seed_from_labels(w, labels, types, table_type(), in.f64(), in.f64());
            trackers_valid = false;
        }
        break;
    case 3:
        recompute_trackers(w);
        trackers_valid = true;
        break;
    case 4:
        if (!cpm) add_field(w, "c", in.f64(), in.f64());
        break;
    // -- both phases: configuration --
    case 5:
        set_target_volume(w, cell_id(), in.f64());
        break;
    case 6:
        set_cell_type(w, cell_id(), in.flag() ? table_type() : any_type());
        break;
    case 7:
        grow(w, any_type(), in.f64());
        break;
    case 8:
        if (in.flag())
            set_connectivity(w, table_type(), in.flag());
        else
            set_connectivity_medium(w, in.flag());
        break;
    case 9:
        if (in.flag())
            set_junction(w, table_type(), in.flag());
        else
            set_junction_lambda(w, in.f64());
        break;
    case 10:
        if (in.flag()) {
            std::vector<std::size_t> anchors(in.u8() % 4);
            for (std::size_t& a : anchors) a = site();
            set_membrane(w, anchors, in.f64(), in.f64());
        } else {
            set_membrane_anchored(w, table_type(), in.flag());
        }
        break;
    case 11:
        set_length_constraint(w, table_type(), in.f64(), in.f64());
        break;
    case 12:
        switch (in.u8() % 5) {
        case 0:
            set_external_potential(w, table_type(), in.f64(), in.f64(), in.f64());
            break;
        case 1:
            set_act(w, any_type(), in.f64(), in.u8());
            set_act_mean(w, in.flag());
            break;
        case 2: {
            const CellType t = any_type();
            const double lambda = in.f64();
            set_persistence(w, t, lambda, 1 + in.u8() % 8, static_cast<double>(in.u8()) / 255.0);
            break;
        }
        case 3: {
            const CellId id = cell_id();
            if (id != MEDIUM && id < w.cells.size()) set_cell_frozen(w, id, in.flag());
            break;
        }
        default:
            set_tracking(w, in.flag());
        }
        break;
    case 13: {
        const std::size_t f = field_idx();
        switch (in.u8() % 5) {
        case 0:
            set_field_dynamics(w, f, in.f64(), in.u8() % 4);
            break;
        case 1:
            set_secretion(w, f, any_type(), in.f64());
            break;
        case 2:
            set_cell_secretion_scale(w, f, cell_id(), in.f64());
            break;
        case 3:
            set_chemotaxis(w, f, any_type(), in.f64());
            break;
        default:
            set_chemotaxis_occupancy(w, f, any_type(), in.f64(), in.f64(), in.f64(), in.f64());
        }
        break;
    }
    case 14: {
        const std::size_t f = field_idx();
        const std::size_t x = coordinate(), y = coordinate(), z = coordinate();
        switch (in.u8() % 4) {
        case 0:
            field_add_source_at(w, f, x, y, z, in.f64());
            break;
        case 1:
            (void)field_value_at(w, f, x, y, z);
            break;
        case 2:
            (void)field_mean_at_cell(w, f, cell_id());
            break;
        default:
            for (std::uint8_t k = in.u8() % 3; k > 0; --k) advance_fields(w);
        }
        break;
    }
    case 15: {
        const CellType a = table_type(), b = table_type();
        const double j = in.f64();
        if (cpm)
            set_contact_live(w, a, b, j);
        else
            pending.push_back({{a, b}, j});
        break;
    }
    // -- finalize and the sweeps --
    case 16:
        if (!cpm) {
            ContactMatrix contact(std::size_t{max_type} + 1);
            for (const auto& [pair, j] : pending) set_pair(contact, pair.first, pair.second, j);
            recompute_trackers(w);
            set_contact_matrix(w, std::move(contact));
            cpm.emplace(std::move(w), in.u64());
            setup.reset();
        }
        break;
    case 17:
        if (cpm) step(*cpm, in.u8() % 3);
        break;
    case 18:
        if (cpm) {
            const std::uint8_t b = in.u8();
            const std::size_t block = b < 240 ? b % 8 : static_cast<std::size_t>(in.u64());
            step_parallel(*cpm, in.u8() % 3, block);
        }
        break;
    // -- population --
    case 19: {
        double threshold = in.f64();
        if (w.cells.size() > max_cells / 2 && !(threshold > 0.0)) threshold = 1.0;
        const double reset = in.f64();
        const std::size_t before = w.cells.size();
        const std::vector<CellId> born = divide_cells(w, threshold, reset);
        for (std::size_t k = 0; k < born.size(); ++k)
            if (born[k] != before + k) finding("daughter ids are not consecutive", born[k]);
        if (!born.empty()) trackers_valid = true;  // no candidate: nothing recomputed
        break;
    }
    case 20: {
        if (in.flag()) {
            // a chosen division, with the checks its callers make
            const CellId id = cell_id();
            if (id == MEDIUM || id >= w.cells.size()) break;
            const std::int64_t volume = std::count(w.lattice.sites.begin(), w.lattice.sites.end(), id);
            if (volume < 2) break;
            std::array<double, 3> normal{};
            if (in.flag()) {
                normal = principal_axis(w, id, in.flag());
            } else {
                for (double& c : normal) c = static_cast<double>(static_cast<std::int8_t>(in.u8()));
            }
            const std::int64_t beyond = sites_beyond(w, id, normal);
            if (beyond == 0 || beyond == volume) break;
            const std::size_t before = w.cells.size();
            if (divide_cell(w, id, normal, in.f64(), in.f64()) != before) finding("daughter id is not the next", id);
            trackers_valid = true;
            break;
        }
        std::vector<CellId> ids(in.u8() % 5);
        for (CellId& id : ids) id = cell_id();
        remove_cells(w, ids);
        if (!ids.empty()) trackers_valid = true;
        break;
    }
    // -- single copies and their prices, on a consistent world --
    case 21:
        if (cpm && w.lattice.n_sites() > 0) {
            const std::size_t i = site() % w.lattice.n_sites();
            const CellId n = static_cast<CellId>(cell_id() % w.cells.size());
            double dh = delta_hamiltonian(w, i, n);
            SiteList nb = neighbors(w.lattice, i);
            const std::size_t source = nb.empty() ? i : nb[in.u8() % nb.size()];
            dh += delta_chemotaxis(w, i, source, n) + delta_membrane(w, i, n) + delta_junction(w, i, n) +
                  delta_length(w, i, n) + delta_external(w, i, n) + delta_act(w, i, source, n) +
                  delta_persistence(w, i, source, n);
            (void)dh;
            if (in.flag() && (!connectivity_applies(w, w.lattice.sites[i]) ||
                              would_stay_connected(w, i, w.lattice.sites[i])))
                apply_flip(w, i, n);
            else
                apply_flip(w, site(), cell_id());  // checked: may refuse
        }
        break;
    // -- read-outs --
    case 22: {
        (void)contact_area_by_type(w, cell_id());
        (void)cell_length(w, cell_id());
        const std::size_t i = site();
        (void)get(w.lattice, i);
        // the neighbour queries only near the box: far beyond it a coordinate no longer fits a signed step
        const std::size_t near = i < w.lattice.n_sites() ? i : w.lattice.n_sites() + i % 3;
        (void)neighbors(w.lattice, near);
        (void)face_neighbors(w.lattice, near);
        break;
    }
    default: {
        SiteList nodes;
        for (std::uint8_t k = in.u8() % 36; k > 0; --k) nodes.push_back(site());
        (void)count_components(w, nodes);
        if (w.lattice.n_sites() > 0)
            (void)surface_deltas(w, site() % w.lattice.n_sites(), static_cast<CellId>(cell_id() % w.cells.size()));
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Session session{Reader{data, size}};
    try {
        session.run();
    } catch (const EngineError&) {
    } catch (const std::bad_alloc&) {
    }
    return 0;
}
