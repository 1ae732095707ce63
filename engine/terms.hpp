// The optional terms: one record holding the state of each (its parameters,
// per-type tables and guard, all defined in the term's own file pair), and
// the one place where their guards are refreshed.
//
// A term is off until set and costs one test of its guard while off. Every
// setter of a term's state ends with refresh_terms.
#pragma once

#include "act.hpp"
#include "cell_system.hpp"
#include "centroid.hpp"
#include "chemotaxis.hpp"
#include "connectivity.hpp"
#include "external.hpp"
#include "frozen.hpp"
#include "junction.hpp"
#include "length.hpp"
#include "links.hpp"
#include "membrane.hpp"
#include "persistence.hpp"

namespace tessaly {

struct World;
struct ByteWriter;
struct ByteReader;

struct Terms {
    ChemotaxisTerm chemotaxis;      // energy, reads the fields
    MembraneTerm membrane;          // energy
    JunctionTerm junction;          // energy
    LengthTerm length;              // energy, reads the coordinate sums
    ExternalTerm external;          // energy
    ConnectivityTerm connectivity;  // a test on accepted copies, no energy
    ActTerm act;                    // energy, activity set by each copy, decay after each step
    PersistenceTerm persistence;    // energy, directions updated after each step
    FrozenCells frozen;             // a test before pricing, no energy
    Tracks tracks;                  // centroid tracks, advanced after each step while tracking is on
    CellPrograms programs;          // the cells' systems, rules and division rule, run after the fields
    LinkTerm links;                 // energy, reads the coordinate sums; breaks and forms after each step
    bool energy_on = false;         // some energy term above is on
    bool links_alone = false;       // the links are the only one on
    bool steps_on = false;          // some term has work after each Monte Carlo step
};

// Recomputes the guard of every term from its state.
void refresh_terms(World& w);

// Keeps every cell's track (or not), whether or not persistence needs them.
void set_tracking(World& w, bool on);
bool tracking_on(const Terms& terms);

// Run by both sweeps before each Monte Carlo step while persistence is on:
// cells it applies to that have no direction yet draw one.
void before_step(World& w);

// The per-step work of the terms, run by both sweeps after each Monte Carlo
// step, in this order: activities decay, tracks advance, directions update.
void after_step(World& w);

// Checkpoints: each term that holds anything in its own section (the
// term's write and read, in its file pair), in the one fixed order of
// term_tags (terms.cpp), the cells' attributes last. read_terms reads
// sections to the end of the payload, each at most once and in that order,
// checks them against the world's fields and refreshes the guards.
void write_terms(ByteWriter& out, const World& w);
void read_terms(ByteReader& in, World& w);

}  // namespace tessaly
