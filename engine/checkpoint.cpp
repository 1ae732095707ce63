// Checkpoints: the core state (world, sites, cells, contacts, fields,
// generator), the framing and its checksum. The terms' sections are the
// terms record's (write_terms, read_terms in terms.cpp), each term's body
// its own file pair's (write, read).
#include "checkpoint.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "energy.hpp"
#include "error.hpp"
#include "field.hpp"
#include "terms.hpp"

namespace tessaly {

namespace {

constexpr std::uint8_t magic[8] = {'t', 'e', 's', 's', 'a', 'l', 'y', 0x1a};

// Runs of at least this many equal words are stored as one run.
constexpr std::size_t min_run = 3;
constexpr std::uint32_t run_flag = 0x80000000u;
constexpr std::size_t max_token = run_flag - 1;

void append_words(std::vector<std::uint8_t>& out, const std::uint32_t* data, std::size_t n) {
    const std::size_t at = out.size();
    out.resize(at + 4 * n);
    if constexpr (std::endian::native == std::endian::little) {
        if (n != 0) std::memcpy(out.data() + at, data, 4 * n);
    } else {
        for (std::size_t k = 0; k < n; ++k)
            for (int b = 0; b < 4; ++b) out[at + 4 * k + b] = static_cast<std::uint8_t>(data[k] >> (8 * b));
    }
}

// ---- world: box, boundaries, neighbourhood, temperature, phase ----

constexpr std::uint32_t tag_world = tag("WRLD");
constexpr std::uint32_t tag_sites = tag("SITE");
constexpr std::uint32_t tag_cells = tag("CELL");
constexpr std::uint32_t tag_contacts = tag("CONT");
constexpr std::uint32_t tag_fields = tag("FLDS");
constexpr std::uint32_t tag_coupling = tag("FCPL");  // optional: the fields' uptake and boundaries (format 3)
constexpr std::uint32_t tag_rng = tag("RNG ");

struct WorldHeader {
    std::array<std::size_t, 3> dims;
    std::array<bool, 3> periodic;
    std::uint32_t z_extent;
    std::uint8_t order;
    double temperature;
    bool running;
    CellType max_type;
    bool surface_active;
};

// The offsets a neighbourhood of that z extent and order makes; the
// lattice's must be one of them.
std::uint32_t z_extent_of(const Neighborhood& nb) {
    std::uint32_t e = 0;
    for (const Offset& o : nb.offsets) e = std::max<std::uint32_t>(e, static_cast<std::uint32_t>(o.dz < 0 ? -o.dz : o.dz));
    return e;
}

std::uint8_t order_of(const Neighborhood& nb) {
    std::int64_t k = 0;
    for (const Offset& o : nb.offsets)
        k = std::max<std::int64_t>(k, (o.dx < 0 ? -o.dx : o.dx) + (o.dy < 0 ? -o.dy : o.dy) + (o.dz < 0 ? -o.dz : o.dz));
    return static_cast<std::uint8_t>(k);
}

// The (z extent, order) a neighbourhood was made with; a neighbourhood is
// fixed by them, and every order above the largest offset's reach gives
// the same offsets, so the smallest such pair is stored.
void put_world(ByteWriter& out, const World& w, bool running) {
    const Lattice& lat = w.lattice;
    out.u64(lat.nx);
    out.u64(lat.ny);
    out.u64(lat.nz);
    for (const bool p : lat.periodic) out.boolean(p);
    out.u32(z_extent_of(lat.neighborhood));
    out.u8(order_of(lat.neighborhood));
    out.f64(w.temperature);
    out.boolean(running);
    out.u16(w.setup.max_type);
    out.boolean(w.surface_active);
}

WorldHeader get_world(ByteReader& r) {
    WorldHeader h{};
    for (std::size_t& d : h.dims) d = static_cast<std::size_t>(r.u64());
    for (bool& p : h.periodic) p = r.boolean();
    h.z_extent = r.u32();
    h.order = r.u8();
    if (h.z_extent > 1) damaged("neighbourhood reaches " + std::to_string(h.z_extent) + " planes along z");
    if (h.order > 3) damaged("neighbourhood of order " + std::to_string(h.order));
    h.temperature = r.f64();
    h.running = r.boolean();
    h.max_type = r.u16();
    h.surface_active = r.boolean();
    return h;
}

// ---- cells ----

void put_cell(ByteWriter& out, const Cell& c) {
    out.u16(c.cell_type);
    out.f64(c.target_volume);
    out.f64(c.lambda_volume);
    out.f64(c.target_surface);
    out.f64(c.lambda_surface);
    const Trackers& t = c.trackers;
    out.i64(t.volume);
    out.i64(t.surface);
    for (const double s : {t.sum_x, t.sum_y, t.sum_z, t.sum_xx, t.sum_yy, t.sum_zz, t.sum_xy, t.sum_xz, t.sum_yz})
        out.f64(s);
}

constexpr std::size_t cell_bytes = 2 + 8 * 4 + 8 * 2 + 8 * 9;

Cell get_cell(ByteReader& r, CellId id) {
    Cell c{};
    c.id = id;
    c.cell_type = r.u16();
    c.target_volume = r.f64();
    c.lambda_volume = r.f64();
    c.target_surface = r.f64();
    c.lambda_surface = r.f64();
    Trackers& t = c.trackers;
    t.volume = r.i64();
    t.surface = r.i64();
    for (double* s : {&t.sum_x, &t.sum_y, &t.sum_z, &t.sum_xx, &t.sum_yy, &t.sum_zz, &t.sum_xy, &t.sum_xz, &t.sum_yz})
        *s = r.f64();
    return c;
}

// The trackers of a running world are exact, so the stored ones must equal
// what the sites give. The check sums in integers, row by row: the volume
// and coordinate sums of each run of one id along x in closed form, the
// surface from per-site counts of unlike neighbours, made one offset at a
// time along the interior of a row. Integer sums below 2^53 are what the
// incremental doubles hold exactly, whatever their order.
__extension__ using Exact = __int128;  // wide enough for any box's closed forms

struct ExactSums {
    std::int64_t volume = 0, surface = 0;
    Exact s[9] = {};  // Σx, Σy, Σz, Σx², Σy², Σz², Σxy, Σxz, Σyz
};

bool agrees(double stored, Exact exact) {
    constexpr Exact limit = Exact{1} << 53;  // beyond: the doubles may have rounded
    return exact >= limit || stored == static_cast<double>(static_cast<std::int64_t>(exact));
}

void check_trackers(const World& w) {
    const Lattice& lat = w.lattice;
    const std::size_t n = lat.n_sites();
    const std::size_t n_cells = w.cells.size();
    const CellId* sites = lat.sites.data();
    CellId largest = 0;
    for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, sites[i]);
    if (n != 0 && largest >= n_cells) {
        std::size_t i = 0;
        while (sites[i] < n_cells) ++i;
        damaged("the cell registry disagrees with the sites: site " + std::to_string(i) + " holds cell id " +
                std::to_string(sites[i]) + ", which is not registered");
    }
    std::vector<ExactSums> sums(n_cells);
    std::vector<std::uint8_t> unlike(lat.nx);  // per site of the row: neighbours of another id
    SiteList nb;
    const std::int64_t* step = lat.offset_step.data();
    const std::size_t k = lat.offset_step.size();
    for (std::size_t z = 0; n != 0 && z < lat.nz; ++z)
        for (std::size_t y = 0; y < lat.ny; ++y) {
            const std::size_t row = lat.nx * (y + lat.ny * z);
            const CellId* r = sites + row;
            // unlike neighbours: the interior of the row one offset at a time, the rest site by site
            std::size_t lo = 0, hi = 0;
            if (lat.nx >= 3 && lat.is_interior(row + 1)) lo = 1, hi = lat.nx - 1;
            std::fill(unlike.begin(), unlike.end(), std::uint8_t{0});
            for (std::size_t m = 0; m < k && lo < hi; ++m) {
                const CellId* q = sites + (static_cast<std::int64_t>(row + lo) + step[m]);  // neighbours of r[lo..]
                std::uint8_t* u = unlike.data() + lo;
                const CellId* own = r + lo;
                for (std::size_t x = 0; x < hi - lo; ++x) u[x] = static_cast<std::uint8_t>(u[x] + (q[x] != own[x]));
            }
            for (std::size_t x = 0; x < lat.nx; ++x) {
                if (x >= lo && x < hi) continue;
                neighbors_into(lat, row + x, nb);
                for (const std::size_t j : nb) unlike[x] = static_cast<std::uint8_t>(unlike[x] + (sites[j] != r[x]));
            }
            // runs of one id along x
            const Exact yy = static_cast<Exact>(y), zz = static_cast<Exact>(z);
            for (std::size_t x0 = 0; x0 < lat.nx;) {
                std::size_t x1 = x0 + 1;
                std::int64_t surface = unlike[x0];
                while (x1 < lat.nx && r[x1] == r[x0]) surface += unlike[x1++];
                const Exact len = static_cast<Exact>(x1 - x0), a = static_cast<Exact>(x0),
                            b = static_cast<Exact>(x1) - 1;
                const Exact sx = (a + b) * len / 2;
                const Exact sxx = b * (b + 1) * (2 * b + 1) / 6 - (a - 1) * a * (2 * a - 1) / 6;
                ExactSums& c = sums[r[x0]];
                c.volume += static_cast<std::int64_t>(x1 - x0);
                c.surface += surface;
                c.s[0] += sx;
                c.s[1] += len * yy;
                c.s[2] += len * zz;
                c.s[3] += sxx;
                c.s[4] += len * yy * yy;
                c.s[5] += len * zz * zz;
                c.s[6] += sx * yy;
                c.s[7] += sx * zz;
                c.s[8] += len * yy * zz;
                x0 = x1;
            }
        }
    for (std::size_t id = 0; id < n_cells; ++id) {
        const Trackers& c = w.cells[id].trackers;
        const ExactSums& e = sums[id];
        const double stored[9] = {c.sum_x, c.sum_y, c.sum_z, c.sum_xx, c.sum_yy, c.sum_zz, c.sum_xy, c.sum_xz, c.sum_yz};
        bool same = c.volume == e.volume && c.surface == e.surface;
        for (int m = 0; m < 9; ++m) same = same && agrees(stored[m], e.s[m]);
        if (!same)
            damaged("the cell registry disagrees with the sites: the trackers of cell " + std::to_string(id) +
                    " differ from the sites'");
    }
}

// ---- fields ----

void put_field(ByteWriter& out, const Field& f) {
    out.str(f.name);
    out.f64(f.d);
    out.f64(f.decay);
    out.f64(f.dt);
    out.u32(f.substeps);
    out.f64s(f.secretion_rate);
    // the per-cell multipliers by ascending id, so equal worlds give equal bytes
    std::vector<std::pair<CellId, double>> scale(f.secretion_scale.begin(), f.secretion_scale.end());
    std::sort(scale.begin(), scale.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.u64(scale.size());
    for (const auto& [id, s] : scale) {
        out.u32(id);
        out.f64(s);
    }
    out.words(reinterpret_cast<const std::uint32_t*>(f.conc.data()), f.conc.size());
}

Field get_field(ByteReader& r, std::size_t n_sites) {
    std::string name = r.str();
    const double d = r.f64(), decay = r.f64();
    Field f(std::move(name), 0, 0, d, decay);
    f.dt = r.f64();
    f.substeps = r.u32();
    if (f.substeps == 0) damaged("a field advances in 0 substeps");
    f.secretion_rate = r.f64s();
    const std::size_t n_scale = r.count(12);
    for (std::size_t k = 0; k < n_scale; ++k) {
        const CellId id = r.u32();
        f.secretion_scale[id] = r.f64();
    }
    if (f.secretion_scale.size() != n_scale) damaged("a field lists one cell's secretion scale twice");
    if (!r.words_cover(n_sites)) damaged("a field's concentrations do not cover the box");
    f.conc.resize(n_sites);
    r.words(reinterpret_cast<std::uint32_t*>(f.conc.data()), n_sites);
    return f;
}

// The fields' uptake and boundaries: nothing while no field has either.
void put_coupling(ByteWriter& out, const std::vector<Field>& fields) {
    if (std::all_of(fields.begin(), fields.end(), [](const Field& f) { return f.uptake.empty() && !f.boundary; }))
        return;
    out.u64(fields.size());
    for (const Field& f : fields) {
        out.u64(f.uptake.size());
        for (const Uptake& u : f.uptake) {
            out.f64(u.max_rate);
            out.f64(u.km);
            out.str(u.scale_by);
        }
        out.boolean(f.boundary.has_value());
        out.f64(f.boundary.value_or(0.0));
    }
}

void get_coupling(ByteReader& r, std::vector<Field>& fields) {
    if (r.u64() != fields.size()) damaged("the fields' uptake does not match the fields");
    for (Field& f : fields) {
        f.uptake.resize(r.count(24));
        if (f.uptake.size() > std::size_t{0xFFFF} + 1) damaged("uptake for a type beyond 65535");
        for (Uptake& u : f.uptake) {
            u.max_rate = r.f64();
            u.km = r.f64();
            u.scale_by = r.str();
            if (!(u.max_rate >= 0.0) || !(u.km >= 0.0)) damaged("a negative or NaN uptake rate");
        }
        const bool fixed = r.boolean();
        const double value = r.f64();
        if (fixed && !(std::isfinite(value) && value >= 0.0)) damaged("a boundary value that is negative or not finite");
        if (fixed) f.boundary = value;
    }
}

}  // namespace

// ---- words ----

// Runs of 32-bit words: tokens until the count is covered. A token is a u32
// whose top bit marks a run of its low 31 bits' count of one word (the word
// follows), or, with the bit clear, that many literal words (they follow).
void ByteWriter::words(const std::uint32_t* data, std::size_t n) {
    std::size_t i = 0, literal = 0;  // literal: start of the pending literal words
    const auto flush_literal = [&](std::size_t end) {
        while (literal < end) {
            const std::size_t c = std::min(end - literal, max_token);
            u32(static_cast<std::uint32_t>(c));
            append_words(out, data + literal, c);
            literal += c;
        }
    };
    while (i < n) {
        const std::uint32_t v = data[i];
        std::size_t j = i + 1;
        while (j < n && data[j] == v) ++j;
        if (j - i >= min_run) {
            flush_literal(i);
            for (std::size_t k = i; k < j;) {
                const std::size_t c = std::min(j - k, max_token);
                u32(static_cast<std::uint32_t>(c) | run_flag);
                u32(v);
                k += c;
            }
            literal = j;
        }
        i = j;
    }
    flush_literal(n);
}

bool ByteReader::words_cover(std::uint64_t n) const {
    ByteReader r = *this;
    std::uint64_t total = 0;
    while (total < n) {
        if (r.left < 4) return false;
        const std::uint32_t token = r.u32();
        const std::uint64_t c = token & max_token;
        if (c == 0) damaged("a run of no words");
        const std::size_t skip = (token & run_flag) ? 4 : 4 * c;
        if (skip > r.left) return false;
        r.p += skip;
        r.left -= skip;
        total += c;
    }
    return total == n;
}

void ByteReader::words(std::uint32_t* data, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        const std::uint32_t token = u32();
        const std::size_t c = token & max_token;
        if (c == 0) damaged("a run of no words");
        if (c > n - i) damaged("runs overrun their array");
        if (token & run_flag) {
            std::fill(data + i, data + i + c, u32());
        } else {
            need(4 * c);
            if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(data + i, p, 4 * c);
            } else {
                for (std::size_t k = 0; k < c; ++k)
                    data[i + k] = std::uint32_t{p[4 * k]} | std::uint32_t{p[4 * k + 1]} << 8 |
                                  std::uint32_t{p[4 * k + 2]} << 16 | std::uint32_t{p[4 * k + 3]} << 24;
            }
            p += 4 * c;
            left -= 4 * c;
        }
        i += c;
    }
}

// ---- payload ----

std::vector<std::uint8_t> encode_payload(const World& w, bool running, const Rng& rng) {
    ByteWriter out;
    out.out.reserve(1024 + w.cells.size() * cell_bytes);
    // box, boundaries, neighbourhood, temperature, phase
    section(out, tag_world, false, [&] { put_world(out, w, running); });
    // the site ids, as runs
    section(out, tag_sites, false, [&] { out.words(w.lattice.sites.data(), w.lattice.n_sites()); });
    // the registry, MEDIUM first, with trackers and parameters
    section(out, tag_cells, false, [&] {
        out.u64(w.cells.size());
        for (const Cell& c : w.cells) put_cell(out, c);
    });
    // the table's side and the recorded contact energies, in call order
    section(out, tag_contacts, false, [&] {
        out.u64(w.contact.n);
        out.u64(w.setup.pending_contacts.size());
        for (const PendingContact& c : w.setup.pending_contacts) {
            out.u16(c.type_a);
            out.u16(c.type_b);
            out.f64(c.j);
        }
    });
    // fields, in order of creation
    section(out, tag_fields, false, [&] {
        out.u64(w.fields.size());
        for (const Field& f : w.fields) put_field(out, f);
    });
    // their uptake and boundaries, while any is set
    section(out, tag_coupling, true, [&] { put_coupling(out, w.fields); });
    // the driver's generator
    if (running) section(out, tag_rng, false, [&] {
        for (const std::uint64_t s : rng.s) out.u64(s);
    });
    // the terms, each in its own section while it holds anything, then the cells' attributes
    write_terms(out, w);
    return std::move(out.out);
}

namespace {

// The box and its sites: the runs must cover the box exactly before the box
// is made, and the box must be one a World could have.
Lattice get_box(ByteReader& r, const WorldHeader& h, const DecodeLimits& limits) {
    std::uint64_t n_sites = 0;
    if (h.dims[0] == 0 || h.dims[1] == 0 || h.dims[2] == 0 ||
        __builtin_mul_overflow(std::uint64_t{h.dims[0]}, std::uint64_t{h.dims[1]}, &n_sites) ||
        __builtin_mul_overflow(n_sites, std::uint64_t{h.dims[2]}, &n_sites) ||
        n_sites > std::min<std::uint64_t>(limits.max_sites, max_lattice_sites))
        damaged("a box of " + std::to_string(h.dims[0]) + "×" + std::to_string(h.dims[1]) + "×" +
                std::to_string(h.dims[2]) + " sites");
    ByteReader body = open_section(r, tag_sites);
    if (!body.words_cover(n_sites)) damaged("the site ids do not cover the box");
    Lattice lattice(h.dims, h.periodic, Neighborhood(h.z_extent, h.order));
    body.words(lattice.sites.data(), lattice.n_sites());
    close_section(body, tag_sites);
    return lattice;
}

// The registry, MEDIUM first.
void get_cells(ByteReader& r, World& w) {
    ByteReader body = open_section(r, tag_cells);
    const std::size_t n_cells = body.count(cell_bytes);
    if (n_cells == 0) damaged("no MEDIUM record");
    if (n_cells - 1 > 0xFFFFFFFFu) damaged("more cells than ids");
    w.cells.resize(n_cells);
    for (std::size_t id = 0; id < n_cells; ++id) w.cells[id] = get_cell(body, static_cast<CellId>(id));
    close_section(body, tag_cells);
}

// The table's side and the recorded contact energies; a running world's
// table is rebuilt from them (every entry ever set is in the list, in call order).
void get_contacts(ByteReader& r, World& w, const WorldHeader& h, const DecodeLimits& limits) {
    ByteReader body = open_section(r, tag_contacts);
    const std::uint64_t side = body.u64();
    if (side == 0 || side > limits.max_table_side) damaged("a contact table of side " + std::to_string(side));
    if (!h.running && side != 1) damaged("a contact table before finalize");
    std::vector<PendingContact>& contacts = w.setup.pending_contacts;
    contacts.resize(body.count(12));
    for (PendingContact& c : contacts) {
        c.type_a = body.u16();
        c.type_b = body.u16();
        c.j = body.f64();
        // the table covers every recorded pair: the running one now, the set-up one at finalize
        const std::uint64_t covered = h.running ? side : std::uint64_t{h.max_type} + 1;
        if (c.type_a >= covered || c.type_b >= covered) damaged("a contact energy beyond the table");
    }
    close_section(body, tag_contacts);
    w.contact = ContactMatrix(static_cast<std::size_t>(side));
    if (h.running)
        for (const PendingContact& c : contacts) set_pair(w.contact, c.type_a, c.type_b, c.j);
}

void get_fields(ByteReader& r, World& w) {
    ByteReader body = open_section(r, tag_fields);
    const std::size_t n_fields = body.count(1);
    for (std::size_t k = 0; k < n_fields; ++k) w.fields.push_back(get_field(body, w.lattice.n_sites()));
    close_section(body, tag_fields);
}

Rng get_rng(ByteReader& r) {
    ByteReader body = open_section(r, tag_rng);
    Rng rng{{0, 0, 0, 0}};
    bool all_zero = true;
    for (std::uint64_t& s : rng.s) {
        s = body.u64();
        all_zero = all_zero && s == 0;
    }
    if (all_zero) damaged("a generator state of zeros");
    close_section(body, tag_rng);
    return rng;
}

}  // namespace

WorldState decode_payload(const std::uint8_t* data, std::size_t size, const DecodeLimits& limits) {
    ByteReader r{data, size};
    ByteReader body = open_section(r, tag_world);
    const WorldHeader h = get_world(body);
    close_section(body, tag_world);

    WorldState state{World(get_box(r, h, limits), h.temperature), h.running, Rng{{0, 0, 0, 0}}};
    World& w = state.world;
    w.setup.max_type = h.max_type;
    w.surface_active = h.surface_active;
    get_cells(r, w);
    get_contacts(r, w, h, limits);
    get_fields(r, w);
    // (absent before format 3, and while no field couples)
    if (r.left >= 4 && ByteReader(r).u32() == tag_coupling) {
        ByteReader coupling = open_section(r, tag_coupling);
        get_coupling(coupling, w.fields);
        close_section(coupling, tag_coupling);
    }
    if (h.running) state.rng = get_rng(r);
    // the optional term sections, to the end
    read_terms(r, w);

    // an uptake scaled by an attribute names one the world has
    for (const Field& f : w.fields)
        for (const Uptake& u : f.uptake)
            if (!u.scale_by.empty() && find_attribute(w.state, u.scale_by) == NO_ATTRIBUTE)
                damaged("an uptake scaled by an attribute the world lacks");

    // a running world's trackers are exact: they must match the sites
    if (h.running) {
        check_trackers(w);
        w.trackers_exact = true;
    }
    return state;
}

// ---- framing ----

namespace {

// Slicing by eight: table[k][b] is the CRC of byte b followed by k zero bytes.
struct CrcTables {
    std::uint32_t t[8][256];
    CrcTables() {
        for (std::uint32_t b = 0; b < 256; ++b) {
            std::uint32_t c = b;
            for (int k = 0; k < 8; ++k) c = (c & 1U) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][b] = c;
        }
        for (std::uint32_t b = 0; b < 256; ++b)
            for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    }
};

const CrcTables crc_tables;

void put_le(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

std::uint64_t get_le(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int k = 0; k < bytes; ++k) v |= std::uint64_t{p[k]} << (8 * k);
    return v;
}

}  // namespace

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    const auto& t = crc_tables.t;
    std::uint32_t c = ~crc;
    while (size >= 8) {
        const std::uint32_t lo = static_cast<std::uint32_t>(get_le(data, 4)) ^ c;
        const std::uint32_t hi = static_cast<std::uint32_t>(get_le(data + 4, 4));
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
            t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        data += 8;
        size -= 8;
    }
    while (size-- > 0) c = t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
    return ~c;
}

void checkpoint_header(std::uint8_t* out, std::uint32_t codec, std::uint64_t payload_size, std::uint64_t stored_size) {
    std::memcpy(out, magic, sizeof magic);
    put_le(out + 8, checkpoint_version, 4);
    put_le(out + 12, codec, 4);
    put_le(out + 16, payload_size, 8);
    put_le(out + 24, stored_size, 8);
}

std::vector<std::uint8_t> frame_checkpoint(std::uint32_t codec, std::uint64_t payload_size, const std::uint8_t* stored,
                                           std::size_t stored_size) {
    std::vector<std::uint8_t> out(checkpoint_header_size + stored_size + checkpoint_trailer_size);
    checkpoint_header(out.data(), codec, payload_size, stored_size);
    if (stored_size != 0) std::memcpy(out.data() + checkpoint_header_size, stored, stored_size);
    const std::size_t body = checkpoint_header_size + stored_size;
    put_le(out.data() + body, crc32(0, out.data(), body), 4);
    return out;
}

Frame read_frame(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof magic || std::memcmp(data, magic, sizeof magic) != 0) throw FormatError("not a tessaly checkpoint");
    if (size < checkpoint_header_size) damaged("truncated");
    Frame f{};
    f.version = static_cast<std::uint32_t>(get_le(data + 8, 4));
    // the version is read before the checksum, so that a newer file is named as such
    if (f.version > checkpoint_version)
        throw FormatError("written by a newer tessaly (format " + std::to_string(f.version) + "; this one reads up to " +
                          std::to_string(checkpoint_version) + ")");
    if (f.version == 0) damaged("format 0");
    f.codec = static_cast<std::uint32_t>(get_le(data + 12, 4));
    f.payload_size = get_le(data + 16, 8);
    const std::uint64_t stored = get_le(data + 24, 8);
    const std::size_t present = size - checkpoint_header_size;
    if (stored > present || present - stored < checkpoint_trailer_size) damaged("truncated");
    if (present - stored > checkpoint_trailer_size) damaged("trailing bytes after the checkpoint");
    f.stored = data + checkpoint_header_size;
    f.stored_size = static_cast<std::size_t>(stored);
    const std::size_t body = checkpoint_header_size + f.stored_size;
    if (crc32(0, data, body) != static_cast<std::uint32_t>(get_le(data + body, 4))) damaged("checksum mismatch");
    if (f.codec != codec_stored && f.codec != codec_zlib) damaged("unknown compression " + std::to_string(f.codec));
    if (f.codec == codec_stored && f.payload_size != f.stored_size) damaged("payload size disagrees with the data");
    // deflate expands at most 1032-fold
    if (f.codec == codec_zlib && f.payload_size / 1032 > f.stored_size) damaged("payload size disagrees with the data");
    return f;
}

}  // namespace tessaly
