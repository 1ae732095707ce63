// The parallel checkerboard sweep: the tiles of each colour (the plan in
// checkerboard.hpp) run as tasks on the worker pool (pool.hpp).
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
// A tile runs the same copy attempt as the sequential sweep (attempt.hpp);
// it reads the trackers (volume, surface, coordinate sums) as the registry
// stood at the start of the colour plus the tile's own changes, while every
// other term and the connectivity test read the live site array.
#include "parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <vector>

#include "attempt.hpp"
#include "checkerboard.hpp"
#include "energy.hpp"
#include "error.hpp"
#include "field.hpp"
#include "lanes.hpp"
#include "pool.hpp"
#include "sweep.hpp"
#include "words.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

// ---- tiling ----

constexpr std::uint32_t NO_ENTRY = 0xFFFFFFFFu;

// A cell's changes within one tile and colour phase.
struct TileEntry {
    CellId id;
    std::array<std::int32_t, 3> shift;  // the links' frames (links.hpp): changes of k per axis
    Trackers delta;
};
using TileMap = std::vector<TileEntry>;
using TileContacts = std::vector<ContactChange>;  // the neighbour graph's pair changes, in the order made

// Values fixed for one call (and, for step and colour, one phase), shared
// read-only by every task.
struct Sweep {
    World* world;
    const CheckerboardPlan* plan;    // tiles and colours
    std::uint64_t base;              // the call's word of the driver's generator
    std::uint64_t step;              // m, Monte Carlo step within the call
    std::uint64_t colour;            // c
    AttemptSetup attempt;            // contact copy, Metropolis table, box shape
    bool bmi;                        // run the tiles' copy for AVX2 and bit manipulation
    unsigned lane_words;             // words made ahead per tile, four tiles at a time (0: none)
};

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

// The tile map of one task, with the worker's index from cell id to entry.
// The index is all NO_ENTRY between tiles, so a lookup is one load.
struct TileMapRef {
    TileMap& entries;
    std::vector<std::uint32_t>& slots;
    TileContacts& contacts;

    const TileEntry* entry(CellId id) const {
        const std::uint32_t slot = slots[id];
        return slot == NO_ENTRY ? nullptr : &entries[slot];
    }
    const Trackers* find(CellId id) const {
        const std::uint32_t slot = slots[id];
        return slot == NO_ENTRY ? nullptr : &entries[slot].delta;
    }
    TileEntry& entry_at(CellId id) {
        std::uint32_t& slot = slots[id];
        if (slot == NO_ENTRY) {
            entries.push_back({id, {}, Trackers{}});
            slot = static_cast<std::uint32_t>(entries.size() - 1);
        }
        return entries[slot];
    }
    Trackers& at(CellId id) { return entry_at(id).delta; }
    void release() {
        for (const TileEntry& entry : entries) slots[entry.id] = NO_ENTRY;
    }
};

// A tile's trackers: reads see the registry as it stood at the start of the
// colour plus the tile's own changes; writes go to the tile's map only.
struct TileTrackers {
    static constexpr bool checks_ids = true;  // a bad id fails the call instead of reading astray
    static constexpr bool registry = false;   // the registry's caches hold as at the start of the colour
    const Cell* cells;
    TileMapRef map;

    std::int64_t volume(CellId id) const {
        const Trackers* d = map.find(id);
        return cells[id].trackers.volume + (d ? d->volume : 0);
    }
    std::int64_t surface(CellId id) const {
        const Trackers* d = map.find(id);
        return cells[id].trackers.surface + (d ? d->surface : 0);
    }
    Trackers current(CellId id) const {
        Trackers t = cells[id].trackers;
        if (const Trackers* d = map.find(id)) merge(t, *d);
        return t;
    }
    Trackers& change(World&, CellId id) { return map.at(id); }
    // the neighbour graph's pair changes of an accepted copy, kept for the merge
    NeighbourCounts contacts(const World& w, std::size_t i, CellId o, CellId n, const SiteList& nb) {
        return contact_changes(w.lattice.sites.data(), i, o, n, nb,
                               [&](CellId a, CellId b, std::int64_t d) { map.contacts.push_back({a, b, d}); });
    }
    std::array<std::int64_t, 3> shift(const LinkTerm& term, CellId id) const {
        std::array<std::int64_t, 3> k = term.shift[id];
        if (const TileEntry* e = map.entry(id))
            for (unsigned a = 0; a < 3; ++a) k[a] += e->shift[a];
        return k;
    }
    bool changed(CellId id) const { return map.entry(id) != nullptr; }
    void shift_by(LinkTerm&, CellId id, unsigned axis, std::int64_t d) {
        map.entry_at(id).shift[axis] += static_cast<std::int32_t>(d);
    }
};

// ---- per-tile sweep ----

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

// One copy attempt at every site of tile t, in z, y, x order; accepted copies
// go straight into the site array and their tracker changes into `map`.
// `Draws` is TileWords or TileDraws: the same words in the same order.
template <typename Draws>
[[gnu::always_inline]] inline void sweep_tile_with(const Sweep& sweep, std::size_t t, TileMapRef map,
                                                  const TilePreset* preset) {
    World& w = *sweep.world;
    const Lattice& lattice = w.lattice;
    const std::size_t nx = lattice.nx, ny = lattice.ny;
    const TileBox box = tile_box(*sweep.plan, {nx, ny, lattice.nz}, t);

    WordSource words(tile_seed(sweep, t), 0, lattice.offset_step.size());
    if (preset != nullptr) {
        words.preset = preset->words;
        words.preset_offsets = preset->accept_offsets;
        words.preset_batches = preset->batches;
        words.ahead = preset->after;
    }
    Draws g(words);
    map.entries.clear();
    map.contacts.clear();
    if (map.slots.size() < w.cells.size()) map.slots.resize(w.cells.size(), NO_ENTRY);
    if (lattice.offset_step.empty()) return;  // no neighbour: nothing is drawn

    TileTrackers trackers{w.cells.data(), map};
    AttemptScratch scratch;
    for (std::size_t z = box.lo[2]; z < box.hi[2]; ++z)
        for (std::size_t y = box.lo[1]; y < box.hi[1]; ++y) {
            std::size_t i = box.lo[0] + nx * (y + ny * z);
            for (std::size_t x = box.lo[0]; x < box.hi[0]; ++x, ++i)
                copy_attempt(w, sweep.attempt, trackers, g, SiteAt{i, x, y, z}, scratch);
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

// A worker's own room, kept by its thread from one call to the next.
struct WorkerScratch {
    std::vector<std::uint32_t> slots;  // cell id → entry of the current tile map; NO_ENTRY between tiles
    std::vector<std::uint64_t> words;  // four tiles' words made ahead, one after the other
    std::vector<std::uint64_t> masks;  // their offset masks, per batch of 64
};
thread_local WorkerScratch worker_scratch;

// ---- tasks ----

// One batch of tasks handed to the pool: the tiles at `positions` of the
// colour's tile list. Workers take positions through `next` until none is
// left; each task writes only its own map and error slot.
struct Batch {
    const Sweep* sweep;
    const std::size_t* tiles;      // tile index by list position
    const std::size_t* positions;  // the list positions of this batch, ascending
    std::size_t count;             // number of positions
    TileMap* maps;                 // by list position
    TileContacts* contacts;        // by list position
    std::exception_ptr* errors;    // by list position
    std::atomic<std::size_t> next{0};
};

// Takes tasks until none is left. Where the tiles' words are made ahead,
// a task is four tiles in a row of the batch: their generators run in the
// four lanes at once, then the tiles are swept one after the other.
void run_tasks(void* context) {
    Batch& batch = *static_cast<Batch*>(context);
    WorkerScratch& scratch = worker_scratch;
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
#endif
        for (std::size_t q = k; q < end; ++q) {
            const std::size_t p = batch.positions[q];
            TileMapRef map{batch.maps[p], scratch.slots, batch.contacts[p]};
            try {
                sweep_tile(sweep, batch.tiles[p], map, group == 4 ? &presets[q - k] : nullptr);
            } catch (...) {
                batch.errors[p] = std::current_exception();
            }
            map.release();
        }
    }
}

// ---- colours ----

// Adds a tile map to the registry, and its pair changes to the neighbour
// graph while kept; the maps are taken in tile order.
void merge_map(World& w, const TileMap& map, const TileContacts& contacts) {
    for (const TileEntry& entry : map) {
        if (entry.id >= w.cells.size()) unregistered(entry.id);
        merge(w.cells[entry.id].trackers, entry.delta);
        if (entry.shift != std::array<std::int32_t, 3>{})
            for (unsigned a = 0; a < 3; ++a) w.terms.links.shift[entry.id][a] += entry.shift[a];
    }
    if (!w.neighbors.on) return;
    for (const ContactChange& c : contacts) {
        if (std::max(c.a, c.b) >= w.neighbors.rows.size()) unregistered(std::max(c.a, c.b));
        change_contact(w.neighbors, c.a, c.b, c.delta);
    }
}

// A tile's words made ahead, four tiles at a time: about two and a quarter
// per site where the offset count is a power of two, so most tiles need no
// word beyond them (0: none made ahead).
unsigned lane_words(const Lattice& lattice, std::size_t block, bool bmi) {
    const std::size_t n_steps = lattice.offset_step.size();
    if (!bmi || n_steps == 0 || (n_steps & (n_steps - 1)) != 0) return 0;
    const std::size_t side_z = lattice.nz >= 2 ? block : 1;
    const std::size_t tile_sites =
        std::min<std::size_t>(block, 64) * std::min<std::size_t>(block, 64) * std::min<std::size_t>(side_z, 64);
    const std::size_t words = std::min<std::size_t>(tile_sites * 9 / 4 + 64, 4096);
    return static_cast<unsigned>((words + 63) / 64 * 64);
}

}  // namespace

bool step_parallel(Cpm& cpm, std::uint64_t mcs, std::size_t block, InterruptPoll poll) {
    World& w = cpm.world;
    if (block < 2) fail("block side must be >= 2");
    const Lattice& lattice = w.lattice;
    const std::uint64_t base = next_u64(cpm.rng);
    if (mcs == 0) return true;
    const CheckerboardPlan plan = plan_checkerboard({lattice.nx, lattice.ny, lattice.nz}, lattice.periodic, block);
    std::size_t widest = 0;
    for (const std::vector<std::size_t>& list : plan.colour_tiles) widest = std::max(widest, list.size());

    // the registry's types and contact energies, read by the contact term
    // of every task; nothing changes them during a call
    ContactCopy contacts;
    copy_contacts(w, contacts);
    const BoltzmannTable boltzmann(w.temperature);
    Sweep sweep{};
    sweep.world = &w;
    sweep.plan = &plan;
    sweep.base = base;
    sweep.attempt = AttemptSetup{&contacts, &boltzmann, lattice.periodic[0] && lattice.periodic[1] && lattice.periodic[2]};
    sweep.bmi = fast_words_enabled();
    sweep.lane_words = lane_words(lattice, block, sweep.bmi);

    std::vector<TileMap> maps(widest);
    std::vector<TileContacts> pair_changes(widest);
    std::vector<std::exception_ptr> errors(widest);
    const std::unique_lock pool = hold_pool();
    for (std::uint64_t m = 0; m < mcs; ++m) {
        if (m > 0 && poll != nullptr && poll()) return false;
        // first directions of persistent motion, on the calling thread
        if (w.terms.persistence.on) before_step(w);
        sweep.step = m;
        for (std::size_t c = 0; c < plan.n_colours; ++c) {
            const std::vector<std::size_t>& list = plan.colour_tiles[c];
            if (list.empty()) continue;
            sweep.colour = c;
            // sub-phases one after the other; the maps are merged in tile
            // order once the whole colour is done, so the result is the same
            // for any number of workers
            for (const std::vector<std::size_t>& positions : plan.sub_phases[c]) {
                if (positions.empty()) continue;
                Batch batch;
                batch.sweep = &sweep;
                batch.tiles = list.data();
                batch.positions = positions.data();
                batch.count = positions.size();
                batch.maps = maps.data();
                batch.contacts = pair_changes.data();
                batch.errors = errors.data();
                run_job(PoolJob{run_tasks, &batch});
                // the first failure in tile order aborts the call, unmerged
                for (const std::size_t p : positions)
                    if (errors[p]) {
                        w.neighbors.on = false;  // the unmerged copies are on the sites: built again when read
                        std::rethrow_exception(errors[p]);
                    }
            }
            for (std::size_t p = 0; p < list.size(); ++p) merge_map(w, maps[p], pair_changes[p]);
            if (w.terms.links.on) refresh_link_cache(w, w.terms.links);
        }
        // on the calling thread once the maps are merged
        if (!end_of_step(w, poll)) return false;
        // a division or a type rule changed the registry: the contact copy follows it
        if (w.terms.programs.registry_changed) {
            w.terms.programs.registry_changed = false;
            copy_contacts(w, contacts);
        }
    }
    return true;
}

}  // namespace tessaly
