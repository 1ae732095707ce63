// The optional terms: one record holding the state of each (its parameters,
// per-type tables and guard, all defined in the term's own file pair), and
// the one place where their guards are refreshed.
//
// A term is off until set and costs one test of its guard while off. Every
// setter of a term's state ends with refresh_terms.
#pragma once

#include "chemotaxis.hpp"
#include "connectivity.hpp"
#include "external.hpp"
#include "junction.hpp"
#include "length.hpp"
#include "membrane.hpp"

namespace tessaly {

struct World;

struct Terms {
    ChemotaxisTerm chemotaxis;      // energy, reads the fields
    MembraneTerm membrane;          // energy
    JunctionTerm junction;          // energy
    LengthTerm length;              // energy, reads the coordinate sums
    ExternalTerm external;          // energy
    ConnectivityTerm connectivity;  // a test on accepted copies, no energy
    bool energy_on = false;         // some energy term above is on
};

// Recomputes the guard of every term from its state.
void refresh_terms(World& w);

}  // namespace tessaly
