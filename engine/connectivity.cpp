// connectivity: a copy taking site i from cell c passes when the sites of c
// among the configured neighbours of i form one component, u and v being
// adjacent when v is one of the configured neighbours of u. Nothing farther
// from i is consulted, so a pass never splits c (a path through i can be
// rerouted through the mutually connected neighbours), while some harmless
// copies are refused.
//
// An entry of the neighbour list equal to i itself (a periodic axis of
// length 1) is no member, since it would join every neighbour through the
// very site being removed. Every other entry is taken as it comes, one node
// per entry: a site listed twice (a periodic axis of length 2) gives two
// nodes, both reached together once the search reaches that site from a
// neighbour, but not joined by being the same site. Such a test refuses
// more copies, never fewer, so a pass still never splits c.
#include "connectivity.hpp"

#include <array>
#include <bit>
#include <cstdint>

#include "error.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

// A neighbourhood has at most 26 offsets, so every node set fits one mask.
constexpr std::size_t max_nodes = 32;
using NodeMask = std::uint32_t;

NodeMask bit(std::size_t position) { return NodeMask{1} << position; }

NodeMask all_of(std::size_t count) { return count == max_nodes ? ~NodeMask{0} : bit(count) - 1; }

// Calls visit(v) for every configured neighbour v of site u, in offset order;
// `scratch` holds the list of a site on the box boundary.
template <typename Visit>
void for_each_neighbor(const Lattice& lattice, std::size_t u, SiteList& scratch, Visit&& visit) {
    if (lattice.is_interior(u)) {
        for (const std::int64_t step : lattice.offset_step)
            visit(static_cast<std::size_t>(static_cast<std::int64_t>(u) + step));
    } else {
        neighbors_slow(lattice, u, scratch);
        for (const std::size_t v : scratch) visit(v);
    }
}

// Depth-first search from node `start` over the nodes still in `unvisited`;
// returns `unvisited` without the nodes reached.
NodeMask reach(const Lattice& lattice, const std::size_t* nodes, std::size_t start, NodeMask unvisited,
               SiteList& scratch) {
    std::array<std::uint8_t, max_nodes> stack;
    std::size_t top = 0;
    unvisited &= ~bit(start);
    stack[top++] = static_cast<std::uint8_t>(start);
    while (top > 0 && unvisited != 0) {
        const std::size_t u = nodes[stack[--top]];
        const auto take = [&](std::size_t v) {
            for (NodeMask rest = unvisited; rest != 0; rest &= rest - 1) {
                const auto r = static_cast<std::size_t>(std::countr_zero(rest));
                if (nodes[r] == v) {
                    unvisited &= ~bit(r);
                    stack[top++] = static_cast<std::uint8_t>(r);
                }
            }
        };
        for_each_neighbor(lattice, u, scratch, take);
    }
    return unvisited;
}

}  // namespace

void refresh(ConnectivityTerm& term) {
    term.on = term.medium;
    for (const std::uint8_t guarded : term.guarded) term.on = term.on || guarded != 0;
}

void set_connectivity(World& w, CellType cell_type, bool on) {
    ConnectivityTerm& term = w.terms.connectivity;
    if (cell_type >= term.guarded.size()) term.guarded.resize(std::size_t{cell_type} + 1, 0);
    term.guarded[cell_type] = on ? 1 : 0;
    refresh_terms(w);
}

void set_connectivity_medium(World& w, bool on) {
    w.terms.connectivity.medium = on;
    refresh_terms(w);
}

bool connectivity_applies(const World& w, CellId old) {
    const ConnectivityTerm& term = w.terms.connectivity;
    if (old == MEDIUM) return term.medium;
    const CellType type = w.cells[old].cell_type;
    return type < term.guarded.size() && term.guarded[type] != 0;
}

bool would_stay_connected(const World& w, std::size_t i, CellId c) {
    const Lattice& lattice = w.lattice;
    if (lattice.neighborhood.offsets.size() > max_nodes) fail("neighbourhood too large for the connectivity test");
    if (lattice.is_interior(i)) {
        // The members by offset index. When every member is interior too, a
        // member's neighbours are exactly its offsets, so two members are
        // adjacent when their offsets differ by an offset: the search runs
        // on bit masks.
        const std::int64_t* step = lattice.offset_step.data();
        const std::size_t n_steps = lattice.offset_step.size();
        NodeMask in = 0;
        bool inner = true;
        for (std::size_t k = 0; k < n_steps; ++k) {
            // without branches: whether a neighbour is a member is a coin toss
            const auto j = static_cast<std::size_t>(static_cast<std::int64_t>(i) + step[k]);
            const bool member = lattice.sites[j] == c;
            in |= NodeMask{member} << k;
            inner = inner & (!member | lattice.is_interior(j));
        }
        if ((in & (in - 1)) == 0) return true;  // fewer than two members
        if (inner) {
            NodeMask reached = in & (~in + 1), before;
            do {
                before = reached;
                for (NodeMask r = before; r != 0; r &= r - 1)
                    reached |= lattice.offset_adjacent[static_cast<std::size_t>(std::countr_zero(r))] & in;
            } while (reached != before);
            return reached == in;
        }
    }
    std::array<std::size_t, max_nodes> members;
    std::size_t count = 0;
    SiteList scratch;
    for_each_neighbor(lattice, i, scratch, [&](std::size_t j) {
        if (j != i && lattice.sites[j] == c) members[count++] = j;
    });
    if (count < 2) return true;
    return reach(lattice, members.data(), 0, all_of(count), scratch) == 0;
}

std::size_t count_components(const World& w, const SiteList& nodes) {
    if (nodes.size() > max_nodes) fail("count_components takes at most 32 nodes");
    for (const std::size_t node : nodes)
        if (node >= w.lattice.n_sites()) fail("site index out of range");
    if (nodes.size() < 2) return nodes.size();
    SiteList scratch;
    NodeMask unvisited = all_of(nodes.size());
    std::size_t components = 0;
    while (unvisited != 0) {
        unvisited = reach(w.lattice, nodes.data(), static_cast<std::size_t>(std::countr_zero(unvisited)), unvisited,
                          scratch);
        ++components;
    }
    return components;
}

// ---- checkpoint ----

void write(ByteWriter& out, const ConnectivityTerm& term) {
    if (term.guarded.empty() && !term.medium) return;
    out.boolean(term.medium);
    out.u8s(term.guarded);
}

void read(ByteReader& in, ConnectivityTerm& term, const World&) {
    term.medium = in.boolean();
    term.guarded = in.u8s();
}

}  // namespace tessaly
