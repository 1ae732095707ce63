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
// A tile runs the same copy attempt as the sequential sweep (attempt.hpp);
// it reads the trackers (volume, surface, coordinate sums) as the registry
// stood at the start of the colour plus the tile's own changes, while every
// other term and the connectivity test read the live site array.
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
    Trackers delta;
};
using TileMap = std::vector<TileEntry>;

// Values fixed for one call (and, for step and colour, one phase), shared
// read-only by every task.
struct Sweep {
    World* world;
    std::size_t tiles[3];            // TX, TY, TZ
    std::size_t block;               // tile side
    std::uint64_t base;              // the call's word of the driver's generator
    std::uint64_t step;              // m, Monte Carlo step within the call
    std::uint64_t colour;            // c
    AttemptSetup attempt;            // contact copy, Metropolis table, box shape
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

// The tile map of one task, with the worker's index from cell id to entry.
// The index is all NO_ENTRY between tiles, so a lookup is one load.
struct TileMapRef {
    TileMap& entries;
    std::vector<std::uint32_t>& slots;

    const Trackers* find(CellId id) const {
        const std::uint32_t slot = slots[id];
        return slot == NO_ENTRY ? nullptr : &entries[slot].delta;
    }
    Trackers& at(CellId id) {
        std::uint32_t& slot = slots[id];
        if (slot == NO_ENTRY) {
            entries.push_back({id, Trackers{}});
            slot = static_cast<std::uint32_t>(entries.size() - 1);
        }
        return entries[slot].delta;
    }
    void release() {
        for (const TileEntry& entry : entries) slots[entry.id] = NO_ENTRY;
    }
};

// A tile's trackers: reads see the registry as it stood at the start of the
// colour plus the tile's own changes; writes go to the tile's map only.
struct TileTrackers {
    static constexpr bool checks_ids = true;  // a bad id fails the call instead of reading astray
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
    const std::size_t nx = lattice.nx, ny = lattice.ny, nz = lattice.nz;
    const std::size_t b = sweep.block;

    // site box
    const std::size_t tx = t % sweep.tiles[0];
    const std::size_t ty = (t / sweep.tiles[0]) % sweep.tiles[1];
    const std::size_t tz = t / (sweep.tiles[0] * sweep.tiles[1]);
    const std::size_t x0 = b * tx, x1 = x0 + std::min(b, nx - x0);
    const std::size_t y0 = b * ty, y1 = y0 + std::min(b, ny - y0);
    const std::size_t z0 = b * tz, z1 = z0 + std::min(b, nz - z0);

    WordSource words(tile_seed(sweep, t), 0, lattice.offset_step.size());
    if (preset != nullptr) {
        words.preset = preset->words;
        words.preset_offsets = preset->accept_offsets;
        words.preset_batches = preset->batches;
        words.ahead = preset->after;
    }
    Draws g(words);
    map.entries.clear();
    if (map.slots.size() < w.cells.size()) map.slots.resize(w.cells.size(), NO_ENTRY);
    if (lattice.offset_step.empty()) return;  // no neighbour: nothing is drawn

    TileTrackers trackers{w.cells.data(), map};
    AttemptScratch scratch;
    for (std::size_t z = z0; z < z1; ++z)
        for (std::size_t y = y0; y < y1; ++y) {
            std::size_t i = x0 + nx * (y + ny * z);
            for (std::size_t x = x0; x < x1; ++x, ++i)
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

// Adds a tile map to the registry; the maps are taken in tile order.
void merge_map(World& w, const TileMap& map) {
    for (const TileEntry& entry : map) {
        if (entry.id >= w.cells.size()) unregistered(entry.id);
        merge(w.cells[entry.id].trackers, entry.delta);
    }
}

}  // namespace

bool step_parallel(Cpm& cpm, std::uint64_t mcs, std::size_t block, InterruptPoll poll) {
    World& w = cpm.world;
    if (block < 2) fail("block side must be >= 2");

    const Lattice& lattice = w.lattice;
    const std::size_t dims[3] = {lattice.nx, lattice.ny, lattice.nz};
    Sweep sweep{};
    sweep.world = &w;
    // no site, no tile: the empty rows of a zero-length axis are not walked
    for (int a = 0; a < 3; ++a) sweep.tiles[a] = lattice.n_sites() == 0 ? 0 : tile_count(dims[a], block);
    sweep.block = block;
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
    const BoltzmannTable boltzmann(w.temperature);
    sweep.attempt = AttemptSetup{&contacts, &boltzmann, lattice.periodic[0] && lattice.periodic[1] && lattice.periodic[2]};
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
            for (std::size_t p = 0; p < list.size(); ++p) merge_map(w, maps[p]);
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
