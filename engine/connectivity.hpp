// The connectivity constraint: a local, conservative test that refuses a
// copy which could split the losing cell. Only the losing cell's sites among
// the target's configured neighbours are consulted; they must form one
// component under direct adjacency.
#pragma once

#include "bytes.hpp"
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lattice.hpp"
#include "small_vector.hpp"

namespace tessaly {

struct World;

struct ConnectivityTerm {
    std::vector<std::uint8_t> guarded;  // per type: guarded against splitting
    bool medium = false;                // MEDIUM guarded as the losing side
    bool on = false;                    // medium or some type guarded
};

// Recomputes `on` from the rest of the record.
void refresh(ConnectivityTerm& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const ConnectivityTerm& term);
void read(ByteReader& in, ConnectivityTerm& term, const World& w);

void set_connectivity(World& w, CellType cell_type, bool on);
void set_connectivity_medium(World& w, bool on);

// Whether the test applies when `old` loses a site.
bool connectivity_applies(const World& w, CellId old);

// True when removing site i from cell c keeps c locally connected.
bool would_stay_connected(const World& w, std::size_t i, CellId c);

// Number of components among `nodes` under the adjacency of the configured
// neighbourhood.
std::size_t count_components(const World& w, const SiteList& nodes);

}  // namespace tessaly
