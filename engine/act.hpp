// The Act model: every site carries an activity from 0 to 255.
//
// copy:      a site given to cell c ≠ MEDIUM takes max_act of c's type; a
//            site given to MEDIUM takes 0. After each Monte Carlo step every
//            activity above 0 decreases by 1.
// local:     A(i, c), c ≠ MEDIUM: the mean of the activities of i and of the
//            neighbours j ≠ i of i (configured neighbourhood, as listed) held
//            by c, k values in all: geometric (Π a)^(1/k), 0 when some a is 0,
//            or arithmetic (Σ a)·(1/k); 1/k is rounded to a double first.
//            A(i, MEDIUM) = 0.
// energy:    ΔH_act = (λ_act / max_act)·(A(target, old) − A(source, new)),
//            λ_act and max_act of the source cell's type, or of the target
//            cell's type when the source is MEDIUM; 0 when either is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bytes.hpp"
#include "lattice.hpp"

namespace tessaly {

struct World;

struct ActTerm {
    std::vector<double> lambda;           // per type, λ_act
    std::vector<std::uint8_t> max_act;    // per type, activity a copy gives
    std::vector<double> scale;            // per type, λ_act / max_act; 0 where either is 0
    std::vector<std::uint8_t> activity;   // per site; empty until the model is first set
    bool arithmetic = false;              // mean of the local activity
    bool on = false;                      // some type has λ_act ≠ 0 and max_act > 0
};

// Recomputes `on` and the scales from the parameters.
void refresh(ActTerm& term);

// Its section of a checkpoint: nothing while the record holds its defaults;
// read checks what it takes against the world it is read into.
void write(ByteWriter& out, const ActTerm& term);
void read(ByteReader& in, ActTerm& term, const World& w);

// Sets one type's parameters; the activity array is made on first use.
void set_act(World& w, CellType cell_type, double lambda, std::uint8_t max_act);
void set_act_mean(World& w, bool arithmetic);

// A(i, c) of the header.
double local_activity(const World& w, std::size_t i, CellId c);

// ΔH_act of copying the source's id n into the target.
double delta_act(const World& w, std::size_t target, std::size_t source, CellId n);

// After an accepted copy of id n, of type n_type, into site i.
inline void act_after_copy(ActTerm& term, std::size_t i, CellId n, CellType n_type) {
    term.activity[i] = n == MEDIUM || n_type >= term.max_act.size() ? 0 : term.max_act[n_type];
}

// After each Monte Carlo step.
void act_decay(ActTerm& term);

}  // namespace tessaly
