// The parallel checkerboard sweep and its process-wide worker pool.
//
// One Monte Carlo step runs the colours in ascending order. Within a colour
// every tile of that colour is swept by one task, with its own generator
// (seeded from the tile, the call's base word, the step and the colour) and
// its own map of tracker changes; after the colour the calling thread adds
// the maps to the registry in tile order. Since tiles of one colour never
// see each other's writes and the merge order is fixed, a call's result
// depends only on the world and the driver's generator, never on the number
// of workers or on which task finished first.
//
// Inside a tile, volume and surface are priced from the registry as it stood
// at the start of the colour plus the tile's own changes; every other term
// and the connectivity test read the live site array.
#include "parallel.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <utility>
#include <bit>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "attempt.hpp"
#include "energy.hpp"
#include "error.hpp"
#include "field.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

// ---- tiling ----

constexpr std::uint32_t NO_ENTRY = 0xFFFFFFFFu;

// A cell's changes within one tile and colour phase.
struct TileEntry {
    CellId id;
    CellDelta delta;
};
using TileMap = std::vector<TileEntry>;

// Values fixed for one call (and, for step and colour, one phase), shared
// read-only by every task.
struct Sweep {
    World* world;
    std::size_t tiles[3];            // TX, TY, TZ
    std::size_t block;               // tile side
    double temperature;              // Metropolis T
    std::uint64_t base;              // the call's word of the driver's generator
    std::uint64_t step;              // m, Monte Carlo step within the call
    std::uint64_t colour;            // c
    const ContactCopy* contacts;     // types by id and contact table, as at the start of the call
    const BoltzmannTable* boltzmann; // exp(−ΔH/T) for integer changes
    bool unit_offsets;               // every offset at most one step per axis
    bool all_periodic;               // every axis wraps: one list entry per offset everywhere
    bool bmi;                        // run the tiles' copy for AVX2 and bit manipulation
    unsigned lane_words;             // words made ahead per tile, four tiles at a time (0: none)
};

// Ceiling of n / b without the overflow of (n + b − 1) / b.
inline std::size_t tile_count(std::size_t n, std::size_t b) { return n / b + (n % b != 0); }

// The generator of tile t in the current colour phase.
Rng tile_seed(const Sweep& sweep, std::size_t t) {
    return seed_from_u64(t * std::uint64_t{0xC2B2AE3D} ^ sweep.base ^ sweep.step * std::uint64_t{0x9E3779B9} ^
                         sweep.colour * std::uint64_t{0x85EBCA77});
}

// A tile's first words, made ahead together with those of up to three other
// tiles (one per lane), with their offset masks; `after` is its generator
// after them.
struct TilePreset {
    const std::uint64_t* words;
    const std::uint64_t* accept_offsets;
    unsigned batches;
    Rng after;
};

[[noreturn]] void unregistered(CellId id) { fail("cell id " + std::to_string(id) + " is not registered"); }

// The tile map of one task, with the worker's index from cell id to entry.
// The index is all NO_ENTRY between tiles, so a lookup is one load.
struct TileMapRef {
    TileMap& entries;
    std::vector<std::uint32_t>& slots;

    const CellDelta* find(CellId id) const {
        const std::uint32_t slot = slots[id];
        return slot == NO_ENTRY ? nullptr : &entries[slot].delta;
    }
    CellDelta& at(CellId id) {
        std::uint32_t& slot = slots[id];
        if (slot == NO_ENTRY) {
            entries.push_back({id, CellDelta{}});
            slot = static_cast<std::uint32_t>(entries.size() - 1);
        }
        return entries[slot].delta;
    }
    void release() {
        for (const TileEntry& entry : entries) slots[entry.id] = NO_ENTRY;
    }
};

// volume and surface: ((X+d−X*)² − (X−X*)²)·λ, X the registry value plus the tile's change
inline double quadratic_change(std::int64_t value, std::int64_t d, double target, double lambda) {
    const double before = static_cast<double>(value) - target;
    const double after = static_cast<double>(value + d) - target;
    return (after * after - before * before) * lambda;
}

// ---- per-tile sweep ----

// The configured neighbours of site (x, y, z) in offset order, the same list
// as `neighbors`, from coordinates at hand: offsets of at most one step wrap
// by comparison instead of division.
void neighbors_at(const Lattice& lattice, std::size_t x, std::size_t y, std::size_t z, SiteList& out) {
    out.clear();
    const std::size_t pos[3] = {x, y, z};
    const std::size_t len[3] = {lattice.nx, lattice.ny, lattice.nz};
    for (const Offset& o : lattice.neighborhood.offsets) {
        const std::int64_t d[3] = {o.dx, o.dy, o.dz};
        std::size_t p[3];
        bool kept = true;
        for (int a = 0; a < 3 && kept; ++a) {
            if (d[a] < 0 && pos[a] == 0) {
                p[a] = len[a] - 1;
                kept = lattice.periodic[a];
            } else if (d[a] > 0 && pos[a] + 1 == len[a]) {
                p[a] = 0;
                kept = lattice.periodic[a];
            } else {
                p[a] = static_cast<std::size_t>(static_cast<std::int64_t>(pos[a]) + d[a]);
            }
        }
        if (kept) out.push_back(p[0] + lattice.nx * (p[1] + lattice.ny * p[2]));
    }
}

// Entry k of the list above on a box periodic along every axis, where the
// list has one entry per offset.
inline std::size_t periodic_neighbor_at(const Lattice& lattice, std::size_t x, std::size_t y, std::size_t z,
                                        const Offset& o) {
    const auto wrap = [](std::size_t p, std::int64_t d, std::size_t len) {
        if (d < 0) return p == 0 ? len - 1 : p - 1;
        if (d > 0) return p + 1 == len ? 0 : p + 1;
        return p;
    };
    return wrap(x, o.dx, lattice.nx) +
           lattice.nx * (wrap(y, o.dy, lattice.ny) + lattice.ny * wrap(z, o.dz, lattice.nz));
}

// A tile's generator, its words made in batches (no site count: a tile
// draws no targets).
template <bool Bmi>
using TileWords = WordCursor<Bmi>;

// The plain draws of a tile's generator, for counts other than powers of
// two, where a bounded draw is rarely rejected.
struct TileDraws {
    Rng g;
    std::uint64_t n_offsets;

    explicit TileDraws(const WordSource& words) : g(words.start), n_offsets(words.n_offsets) {}
    std::size_t offset() { return bounded(g, n_offsets); }
    std::size_t below(std::uint64_t n) { return bounded(g, n); }
    double unit() { return uniform(g); }
};

// The contact sum of a copy of site i from o to n, Σ over the neighbours
// (σ, τ its type) of [σ ≠ n]·J(τn, τ) − [σ ≠ o]·J(τo, τ) in list order, a
// site never being its own neighbour; the same walk counts the neighbours
// and those holding o and n, which give the surface change of the copy.
// Kept out of line: with the whole attempt around it the compiler keeps the
// sum in memory.
struct ContactWalk {
    double cs;
    std::int64_t total, same_old, same_new;
};

// `energies(τ)` gives the pair (J(τn, τ), J(τo, τ)); the two id tests are
// masks instead of branches.
template <typename Energies>
[[gnu::noinline]] ContactWalk contact_walk(const CellId* sites, const CellType* types, std::size_t n_cells,
                                           std::size_t i, CellId o, CellId n, const SiteList& nb,
                                           Energies energies) {
    double cs = 0.0;
    std::int64_t total = 0, same_old = 0, same_new = 0;
    for (const std::size_t j : nb) {
        if (j == i) continue;
        const CellId sigma = sites[j];
        if (sigma >= n_cells) unregistered(sigma);
        const bool is_new = sigma == n, is_old = sigma == o;
        total += 1;
        same_old += is_old;
        same_new += is_new;
        const auto [j_new, j_old] = energies(types[sigma]);
        const std::uint64_t keep_t = std::uint64_t{0} - std::uint64_t{!is_new};
        const std::uint64_t keep_u = std::uint64_t{0} - std::uint64_t{!is_old};
        const double gain = std::bit_cast<double>(std::bit_cast<std::uint64_t>(j_new) & keep_t);
        const double loss = std::bit_cast<double>(std::bit_cast<std::uint64_t>(j_old) & keep_u);
        cs += gain - loss;
    }
    return {cs, total, same_old, same_new};
}

// One copy attempt at every site of tile t, in z, y, x order; accepted copies
// go straight into the site array and their tracker changes into `map`.
// `Draws` is TileWords or TileDraws: the same words in the same order.
template <typename Draws>
[[gnu::always_inline]] inline void sweep_tile_with(const Sweep& sweep, std::size_t t, TileMapRef map,
                                                  const TilePreset* preset) {
    World& w = *sweep.world;
    Lattice& lattice = w.lattice;
    std::vector<CellId>& sites = lattice.sites;
    const std::vector<Cell>& cells = w.cells;
    const ContactCopy& copy = *sweep.contacts;
    const CellType* types = copy.types.data();
    const std::size_t n_cells = cells.size();
    const ContactMatrix& contact = w.contact;
    const std::size_t nx = lattice.nx, ny = lattice.ny, nz = lattice.nz;
    const std::size_t b = sweep.block;

    // site box
    const std::size_t tx = t % sweep.tiles[0];
    const std::size_t ty = (t / sweep.tiles[0]) % sweep.tiles[1];
    const std::size_t tz = t / (sweep.tiles[0] * sweep.tiles[1]);
    const std::size_t x0 = b * tx, x1 = x0 + std::min(b, nx - x0);
    const std::size_t y0 = b * ty, y1 = y0 + std::min(b, ny - y0);
    const std::size_t z0 = b * tz, z1 = z0 + std::min(b, nz - z0);

    const std::size_t n_steps = lattice.offset_step.size();
    WordSource words(tile_seed(sweep, t), 0, n_steps);
    if (preset != nullptr) {
        words.preset = preset->words;
        words.preset_offsets = preset->accept_offsets;
        words.preset_batches = preset->batches;
        words.ahead = preset->after;
    }
    Draws g(words);
    map.entries.clear();
    if (map.slots.size() < n_cells) map.slots.resize(n_cells, NO_ENTRY);

    const std::vector<std::int64_t>& steps = lattice.offset_step;
    const std::vector<Offset>& offsets = lattice.neighborhood.offsets;
    const bool unit_offsets = sweep.unit_offsets, all_periodic = sweep.all_periodic;
    const bool no_wrap = !lattice.edge_offsets.empty();
    const bool surface_active = w.surface_active;
    const bool connectivity_on = w.terms.connectivity.on;
    const BoltzmannTable& boltzmann = *sweep.boltzmann;
    const bool padded = !copy.table.empty();
    SiteList nb;
    SurfaceDeltas changes;

    for (std::size_t z = z0; z < z1; ++z) {
        const double fz = static_cast<double>(z);
        for (std::size_t y = y0; y < y1; ++y) {
            const double fy = static_cast<double>(y);
            std::size_t i = x0 + nx * (y + ny * z);
            for (std::size_t x = x0; x < x1; ++x, ++i) {
                const CellId old_id = sites[i];

                // source: one of the configured neighbours. Where the list has
                // one entry per offset (interior sites, and every site of a
                // box periodic along all axes) the drawn neighbour is found
                // alone, and the list is built only when the ids differ.
                std::size_t source;
                const bool interior = lattice.is_interior(i);
                const bool listed = !interior && !all_periodic && !no_wrap;
                const EdgeOffsets* edge = nullptr;
                if (interior) {
                    if (n_steps == 0) continue;
                    source = static_cast<std::size_t>(static_cast<std::int64_t>(i) + steps[g.offset()]);
                } else if (no_wrap) {
                    edge = &lattice.edge_offsets[edge_class(lattice, x, y, z)];
                    if (edge->count == 0) continue;
                    const std::size_t k = edge->kept[g.below(edge->count)];
                    source = static_cast<std::size_t>(static_cast<std::int64_t>(i) + steps[k]);
                } else if (all_periodic) {
                    if (n_steps == 0) continue;
                    const std::size_t k = g.offset();
                    source = unit_offsets ? periodic_neighbor_at(lattice, x, y, z, offsets[k])
                                          : periodic_neighbor(lattice, i, k);
                } else {
                    if (unit_offsets) {
                        neighbors_at(lattice, x, y, z, nb);
                    } else {
                        neighbors_slow(lattice, i, nb);
                    }
                    if (nb.empty()) continue;
                    source = nb[g.below(nb.size())];
                }
                const CellId new_id = sites[source];
                if (new_id == old_id) continue;
                if (!listed) {
                    if (interior) {
                        neighbors_into(lattice, i, nb);
                    } else if (edge != nullptr) {
                        edge_neighbors_into(lattice, i, *edge, nb);
                    } else if (unit_offsets) {
                        neighbors_at(lattice, x, y, z, nb);
                    } else {
                        neighbors_slow(lattice, i, nb);
                    }
                }
                if (old_id >= n_cells) unregistered(old_id);
                if (new_id >= n_cells) unregistered(new_id);

                // contact, summed apart, and the neighbour counts of the surface change
                ContactWalk walk;
                if (padded) {
                    // a type beyond the side reads the zero padding
                    const double* row_n = copy.table.data() + std::size_t{types[new_id]} * copy.stride;
                    const double* row_o = copy.table.data() + std::size_t{types[old_id]} * copy.stride;
                    walk = contact_walk(sites.data(), types, n_cells, i, old_id, new_id, nb,
                                        [=](CellType tau) { return std::pair{row_n[tau], row_o[tau]}; });
                } else {
                    // a table too large to copy is read where it is
                    const CellType type_n = types[new_id], type_o = types[old_id];
                    walk = contact_walk(sites.data(), types, n_cells, i, old_id, new_id, nb, [&](CellType tau) {
                        return std::pair{contact_energy(contact, type_n, tau), contact_energy(contact, type_o, tau)};
                    });
                }
                const double cs = walk.cs;
                const std::int64_t total = walk.total, same_old = walk.same_old, same_new = walk.same_new;

                // volume, from the registry plus the tile's own changes
                double dh = 0.0;
                if (old_id != MEDIUM) {
                    const Cell& c = cells[old_id];
                    const CellDelta* d = map.find(old_id);
                    dh += quadratic_change(c.volume + (d ? d->volume : 0), -1, c.target_volume, c.lambda_volume);
                }
                if (new_id != MEDIUM) {
                    const Cell& c = cells[new_id];
                    const CellDelta* d = map.find(new_id);
                    dh += quadratic_change(c.volume + (d ? d->volume : 0), 1, c.target_volume, c.lambda_volume);
                }
                // surface, only while some cell has a surface term
                if (surface_active) {
                    surface_deltas_into(w, i, new_id, nb, changes);
                    for (const SurfaceDelta& entry : changes) {
                        if (entry.id == MEDIUM) continue;
                        const Cell& c = cells[entry.id];
                        const CellDelta* d = map.find(entry.id);
                        dh += quadratic_change(c.surface + (d ? d->surface : 0), entry.delta, c.target_surface,
                                               c.lambda_surface);
                    }
                }
                dh += cs;
                // the optional terms
                add_terms(w, i, source, new_id, dh);

                // Metropolis rule; a NaN change fails both tests
                if (!(dh <= 0.0)) {
                    const double u = g.unit();
                    if (!(boltzmann(dh) > u)) continue;
                }
                // connectivity, for accepted copies only
                if (connectivity_on && connectivity_applies(w, old_id) && !would_stay_connected(w, i, old_id))
                    continue;

                // apply: the site array now, the trackers through the map
                sites[i] = new_id;
                const double fx = static_cast<double>(x);
                const double xx = fx * fx, yy = fy * fy, zz = fz * fz, xy = fx * fy, xz = fx * fz, yz = fy * fz;
                {
                    CellDelta& d = map.at(old_id);
                    d.volume -= 1;
                    d.sum_x -= fx;
                    d.sum_y -= fy;
                    d.sum_z -= fz;
                    d.sum_xx -= xx;
                    d.sum_yy -= yy;
                    d.sum_zz -= zz;
                    d.sum_xy -= xy;
                    d.sum_xz -= xz;
                    d.sum_yz -= yz;
                    if (!surface_active) d.surface += 2 * same_old - total;
                }
                {
                    CellDelta& d = map.at(new_id);
                    d.volume += 1;
                    d.sum_x += fx;
                    d.sum_y += fy;
                    d.sum_z += fz;
                    d.sum_xx += xx;
                    d.sum_yy += yy;
                    d.sum_zz += zz;
                    d.sum_xy += xy;
                    d.sum_xz += xz;
                    d.sum_yz += yz;
                    if (!surface_active) d.surface += total - 2 * same_new;
                }
                // Without the surface term only the two ids' surfaces change
                // (a neighbour of a third id loses one unlike pair and gains
                // one), counted above; with it, the priced list is applied.
                if (surface_active)
                    for (const SurfaceDelta& entry : changes) map.at(entry.id).surface += entry.delta;
            }
        }
    }
}

void sweep_tile_words(const Sweep& sweep, std::size_t t, TileMapRef map) {
    sweep_tile_with<TileWords<false>>(sweep, t, map, nullptr);
}

void sweep_tile_draws(const Sweep& sweep, std::size_t t, TileMapRef map) {
    sweep_tile_with<TileDraws>(sweep, t, map, nullptr);
}

#ifdef TESSALY_WIDE_WORDS
// The same tile compiled for processors with AVX2 and the bit manipulation
// instructions, as the sequential sweep is, its first words made ahead.
[[gnu::target("avx2,bmi,bmi2")]] void sweep_tile_words_bmi(const Sweep& sweep, std::size_t t, TileMapRef map,
                                                           const TilePreset* preset) {
    sweep_tile_with<TileWords<true>>(sweep, t, map, preset);
}
#endif

// The word stream pays where the offset count is a power of two: there
// about every second bounded draw is rejected.
void sweep_tile(const Sweep& sweep, std::size_t t, TileMapRef map, const TilePreset* preset) {
    const std::size_t n_steps = sweep.world->lattice.offset_step.size();
    if (n_steps != 0 && (n_steps & (n_steps - 1)) == 0) {
#ifdef TESSALY_WIDE_WORDS
        if (sweep.bmi) return sweep_tile_words_bmi(sweep, t, map, preset);
#else
        (void)preset;  // words are made ahead only for the copy above
#endif
        sweep_tile_words(sweep, t, map);
    } else {
        sweep_tile_draws(sweep, t, map);
    }
}

// A worker's room for the words of a group of tiles made ahead.
struct LaneScratch {
    std::vector<std::uint64_t> words;  // four tiles' words, one after the other
    std::vector<std::uint64_t> masks;  // their offset masks, per batch of 64
};

// ---- worker pool ----

// One batch of tasks handed to the pool: the tiles at `positions` of the
// colour's tile list. Workers take positions through `next` until none is
// left; each task writes only its own map and error slot.
struct Batch {
    const Sweep* sweep;
    const std::size_t* tiles;      // tile index by list position
    const std::size_t* positions;  // the list positions of this batch, ascending
    std::size_t count;             // number of positions
    TileMap* maps;                 // by list position
    std::exception_ptr* errors;    // by list position
    std::atomic<std::size_t> next{0};
};

// The calling thread is one of the workers: it takes tasks like the others
// and then waits for the helper threads to check out. One worker means no
// helper thread at all, and no hand-over between threads.
struct Pool {
    std::mutex mutex;
    std::condition_variable wake;       // helpers: a new batch, or stop
    std::condition_variable finished;   // caller: the last helper checked out
    std::atomic<std::uint64_t> generation{0};  // batches handed out so far
    std::atomic<std::size_t> active{0};        // helpers not yet done with the current batch
    Batch* batch = nullptr;                    // published by `generation` (release/acquire)
    bool stop = false;                         // guarded by `mutex`
    std::vector<std::thread> threads;          // the helpers: one fewer than the workers
    std::vector<std::uint32_t> caller_slots;   // the calling worker's slots (one sweep at a time)
    LaneScratch caller_scratch;                // and its room for words made ahead
};

inline void cpu_relax() { __builtin_ia32_pause(); }

// Spin rounds before a waiting thread blocks. Between the colour phases of a
// step a helper waits only for the merge, so it spins a while, yielding now
// and then so that the caller, if it has to be woken, gets to run. The
// caller, done with its own tasks, waits at most for the helpers' last ones
// (a few microseconds), far less than a sleep and a wake-up would take.
constexpr int WORKER_SPIN = 1 << 13;
constexpr int CALLER_SPIN = 1 << 13;

// Takes tasks until none is left. Where the tiles' words are made ahead,
// a task is four tiles in a row of the batch: their generators run in the
// four lanes at once, then the tiles are swept one after the other.
void run_tasks(Batch& batch, std::vector<std::uint32_t>& slots, LaneScratch& scratch) {
    const Sweep& sweep = *batch.sweep;
    const std::size_t group = sweep.lane_words != 0 ? 4 : 1;
    for (;;) {
        const std::size_t k = batch.next.fetch_add(group, std::memory_order_relaxed);
        if (k >= batch.count) return;
        const std::size_t end = std::min(k + group, batch.count);
        TilePreset presets[4];
#ifdef TESSALY_WIDE_WORDS
        if (group == 4) {
            const unsigned words = sweep.lane_words, batches = words / WordSource::size;
            const std::uint64_t n_offsets = sweep.world->lattice.offset_step.size();
            try {
                scratch.words.resize(4 * std::size_t{words});
                scratch.masks.resize(4 * std::size_t{batches});
            } catch (...) {
                for (std::size_t q = k; q < end; ++q) batch.errors[batch.positions[q]] = std::current_exception();
                continue;
            }
            Rng g[4];
            // (a group short of four tiles repeats its last one in the spare lanes)
            for (std::size_t q = 0; q < 4; ++q)
                g[q] = tile_seed(sweep, batch.tiles[batch.positions[std::min(k + q, end - 1)]]);
            std::uint64_t* const out[4] = {scratch.words.data(), scratch.words.data() + words,
                                           scratch.words.data() + 2 * std::size_t{words},
                                           scratch.words.data() + 3 * std::size_t{words}};
            const bool avx512 = lanes_avx512();
            make_lane_words(g, out, words, avx512);
            for (std::size_t q = 0; q < end - k; ++q) {
                std::uint64_t* masks = scratch.masks.data() + q * batches;
                lane_masks(out[q], batches, n_offsets, WordSource::zone_of(n_offsets), masks, avx512);
                presets[q] = TilePreset{out[q], masks, batches, g[q]};
            }
        }
#else
        (void)scratch;
#endif
        for (std::size_t q = k; q < end; ++q) {
            const std::size_t p = batch.positions[q];
            TileMapRef map{batch.maps[p], slots};
            try {
                sweep_tile(sweep, batch.tiles[p], map, group == 4 ? &presets[q - k] : nullptr);
            } catch (...) {
                batch.errors[p] = std::current_exception();
            }
            map.release();
        }
    }
}

// Waits for a batch newer than `seen`; false when the pool stops.
bool await_batch(Pool& pool, std::uint64_t& seen) {
    for (int k = 0; k < WORKER_SPIN; ++k) {
        const std::uint64_t g = pool.generation.load(std::memory_order_acquire);
        if (g != seen) {
            seen = g;
            return true;
        }
        if (k % 32 == 31) {
            std::this_thread::yield();
        } else {
            cpu_relax();
        }
    }
    std::unique_lock lock(pool.mutex);
    pool.wake.wait(lock, [&] { return pool.stop || pool.generation.load(std::memory_order_acquire) != seen; });
    if (pool.stop) return false;
    seen = pool.generation.load(std::memory_order_acquire);
    return true;
}

void worker_main(Pool& pool, std::uint64_t seen) {
    std::vector<std::uint32_t> slots;  // cell id → entry of the current tile map; NO_ENTRY between tiles
    LaneScratch scratch;
    while (await_batch(pool, seen)) {
        run_tasks(*pool.batch, slots, scratch);
        if (pool.active.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard lock(pool.mutex);
            pool.finished.notify_one();
        }
    }
}

// Hands one batch to every helper, works on it, and waits until each helper
// has checked out, so that none still touches the batch when this returns.
void run_batch(Pool& pool, Batch& batch) {
    if (pool.threads.empty()) {
        run_tasks(batch, pool.caller_slots, pool.caller_scratch);
        return;
    }
    pool.batch = &batch;
    pool.active.store(pool.threads.size(), std::memory_order_relaxed);
    {
        std::lock_guard lock(pool.mutex);
        pool.generation.fetch_add(1, std::memory_order_release);
    }
    pool.wake.notify_all();
    run_tasks(batch, pool.caller_slots, pool.caller_scratch);
    for (int k = 0; k < CALLER_SPIN; ++k) {
        if (pool.active.load(std::memory_order_acquire) == 0) return;
        cpu_relax();
    }
    std::unique_lock lock(pool.mutex);
    pool.finished.wait(lock, [&] { return pool.active.load(std::memory_order_acquire) == 0; });
}

// RAYON_NUM_THREADS when it holds a positive decimal integer, else the
// processors of this process's affinity mask (1 when unknown).
std::size_t default_worker_count() {
    if (const char* text = std::getenv("RAYON_NUM_THREADS"); text != nullptr && *text != '\0') {
        std::size_t value = 0;
        bool valid = true;
        for (const char* p = text; *p != '\0' && valid; ++p) {
            valid = *p >= '0' && *p <= '9';
            if (!valid) break;
            const auto digit = static_cast<std::size_t>(*p - '0');
            valid = value <= (SIZE_MAX - digit) / 10;
            value = value * 10 + digit;
        }
        if (valid && value > 0) return value;
    }
    for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) break;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        const int rc = sched_getaffinity(0, size, set);
        const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
        if (errno != EINVAL) break;
    }
    return 1;
}

// Starts the helpers of `count` workers with every signal blocked, so that
// signals keep going to the threads that expect them.
Pool* start_pool(std::size_t count) {
    auto* pool = new Pool;
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        pool->threads.reserve(count - 1);
        for (std::size_t k = 1; k < count; ++k) pool->threads.emplace_back(worker_main, std::ref(*pool), 0);
    } catch (...) {
        // fewer workers than asked for will do: the results do not depend on the count
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return pool;
}

void stop_pool(Pool* pool) {
    {
        std::lock_guard lock(pool->mutex);
        pool->stop = true;
    }
    pool->wake.notify_all();
    for (std::thread& thread : pool->threads) thread.join();
    delete pool;
}

// The process-wide pool. It lives until the process ends (its workers block
// on a condition variable meanwhile); a forked child, which inherits none of
// the workers, starts a pool of its own.
std::mutex pool_mutex;  // guards `the_pool`
Pool* the_pool = nullptr;
// One parallel sweep at a time uses the pool; recursive, since the poll
// between steps may run code that starts a sweep of another world.
std::recursive_mutex run_mutex;

void forget_pool_in_child() { the_pool = nullptr; }

Pool& shared_pool() {
    std::lock_guard lock(pool_mutex);
    if (the_pool == nullptr) {
        static const int registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        (void)registered;
        the_pool = start_pool(default_worker_count());
    }
    return *the_pool;
}

// ---- colours ----

// Adds each tile map to the registry; the maps are taken in tile order.
void merge(World& w, const TileMap& map) {
    for (const TileEntry& entry : map) {
        if (entry.id >= w.cells.size()) unregistered(entry.id);
        Cell& c = w.cells[entry.id];
        const CellDelta& d = entry.delta;
        c.sum_xx += d.sum_xx;
        c.sum_yy += d.sum_yy;
        c.sum_zz += d.sum_zz;
        c.sum_xy += d.sum_xy;
        c.sum_xz += d.sum_xz;
        c.sum_yz += d.sum_yz;
        c.volume += d.volume;
        c.surface += d.surface;
        c.sum_x += d.sum_x;
        c.sum_y += d.sum_y;
        c.sum_z += d.sum_z;
    }
}

}  // namespace

bool step_parallel(Cpm& cpm, std::uint64_t mcs, std::size_t block, InterruptPoll poll) {
    World& w = cpm.world;
    if (block < 2) fail("block side must be >= 2");
    for (const double lambda : w.terms.length.lambda)
        if (lambda > 0.0) fail("parallel sweep does not support the length constraint; use step()");

    const Lattice& lattice = w.lattice;
    const std::size_t dims[3] = {lattice.nx, lattice.ny, lattice.nz};
    Sweep sweep{};
    sweep.world = &w;
    // no site, no tile: the empty rows of a zero-length axis are not walked
    for (int a = 0; a < 3; ++a) sweep.tiles[a] = lattice.n_sites() == 0 ? 0 : tile_count(dims[a], block);
    sweep.block = block;
    sweep.temperature = w.temperature;
    sweep.base = next_u64(cpm.rng);
    if (mcs == 0) return true;
    const std::size_t n_colours = lattice.nz >= 2 ? 8 : 4;

    // Tile lists per colour, ascending. On a periodic axis with an odd tile
    // count of 3 or more, the first and the last tile share a parity and
    // touch across the periodic face. Each colour therefore runs in up to
    // eight sub-phases, keyed by the set of such axes along which the tile is
    // the last one: tiles of one sub-phase that differ along such an axis
    // both lie short of its last tile, so a whole tile separates them inside
    // the box and at least the last tile across the face. Sub-phases run one
    // after the other; the maps are still merged in tile order once the whole
    // colour is done, so the result is the same for any number of workers.
    bool odd_periodic[3];
    for (int a = 0; a < 3; ++a)
        odd_periodic[a] = lattice.periodic[a] && sweep.tiles[a] >= 3 && sweep.tiles[a] % 2 == 1;
    std::vector<std::size_t> colour_tiles[8];
    std::vector<std::size_t> sub_phases[8][8];  // [colour][mask]: positions in the colour's list
    std::size_t t = 0;
    for (std::size_t tz = 0; tz < sweep.tiles[2]; ++tz)
        for (std::size_t ty = 0; ty < sweep.tiles[1]; ++ty)
            for (std::size_t tx = 0; tx < sweep.tiles[0]; ++tx, ++t) {
                const std::size_t c = (tx & 1) | ((ty & 1) << 1) | ((tz & 1) << 2);
                if (c >= n_colours) continue;
                const std::size_t coord[3] = {tx, ty, tz};
                std::size_t mask = 0;
                for (int a = 0; a < 3; ++a)
                    if (odd_periodic[a] && coord[a] + 1 == sweep.tiles[a]) mask |= std::size_t{1} << a;
                sub_phases[c][mask].push_back(colour_tiles[c].size());
                colour_tiles[c].push_back(t);
            }
    std::size_t widest = 0;
    for (const std::vector<std::size_t>& list : colour_tiles) widest = std::max(widest, list.size());

    // the registry's types and contact energies, read by the contact term
    // of every task; nothing changes them during a call
    ContactCopy contacts;
    copy_contacts(w, contacts);
    sweep.contacts = &contacts;
    const BoltzmannTable boltzmann(w.temperature);
    sweep.boltzmann = &boltzmann;
    sweep.unit_offsets = true;
    for (const Offset& o : lattice.neighborhood.offsets)
        sweep.unit_offsets = sweep.unit_offsets && o.dx >= -1 && o.dx <= 1 && o.dy >= -1 && o.dy <= 1 && o.dz >= -1 &&
                             o.dz <= 1;
    sweep.all_periodic = lattice.periodic[0] && lattice.periodic[1] && lattice.periodic[2];
    sweep.bmi = fast_words_enabled();
    // A tile's words made ahead, four tiles at a time: about two and a
    // quarter per site where the offset count is a power of two, so most
    // tiles need no word beyond them.
    sweep.lane_words = 0;
    const std::size_t n_steps = lattice.offset_step.size();
    if (sweep.bmi && n_steps != 0 && (n_steps & (n_steps - 1)) == 0) {
        const std::size_t side_z = lattice.nz >= 2 ? block : 1;
        const std::size_t tile_sites = std::min<std::size_t>(block, 64) * std::min<std::size_t>(block, 64) *
                                       std::min<std::size_t>(side_z, 64);
        const std::size_t words = std::min<std::size_t>(tile_sites * 9 / 4 + 64, 4096);
        sweep.lane_words = static_cast<unsigned>((words + 63) / 64 * 64);
    }

    std::vector<TileMap> maps(widest);
    std::vector<std::exception_ptr> errors(widest);
    std::lock_guard run_lock(run_mutex);

    for (std::uint64_t m = 0; m < mcs; ++m) {
        if (m > 0 && poll != nullptr && poll()) return false;
        sweep.step = m;
        for (std::size_t c = 0; c < n_colours; ++c) {
            const std::vector<std::size_t>& list = colour_tiles[c];
            if (list.empty()) continue;
            sweep.colour = c;
            for (const std::vector<std::size_t>& positions : sub_phases[c]) {
                if (positions.empty()) continue;
                Batch batch;
                batch.sweep = &sweep;
                batch.tiles = list.data();
                batch.positions = positions.data();
                batch.count = positions.size();
                batch.maps = maps.data();
                batch.errors = errors.data();
                run_batch(shared_pool(), batch);
                // the first failure in tile order aborts the call, unmerged
                for (const std::size_t p : positions)
                    if (errors[p]) std::rethrow_exception(errors[p]);
            }
            for (std::size_t p = 0; p < list.size(); ++p) merge(w, maps[p]);
        }
        if (!advance_fields(w, poll)) return false;
    }
    return true;
}

std::size_t worker_count() { return shared_pool().threads.size() + 1; }

void set_worker_count_for_testing(std::size_t count) {
    std::lock_guard run_lock(run_mutex);
    std::lock_guard lock(pool_mutex);
    if (the_pool != nullptr) stop_pool(the_pool);
    the_pool = nullptr;
    the_pool = start_pool(count == 0 ? default_worker_count() : count);
}

}  // namespace tessaly
