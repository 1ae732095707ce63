// Settings that the dynamics accepts but that are almost certainly mistakes:
// a temperature that is not a positive finite number; NaN in a contact energy,
// a target or a λ (of a cell or of a term's type); a negative λ of the volume,
// surface or length terms; a NaN or negative membrane stiffness; a field whose
// explicit diffusion step is unstable (d·dt above 1/(2·dimensions), every
// substep using dt) or whose decay·dt exceeds 1. Results are not changed by
// any of them: finalize reports them as warnings and runs on.
//
// A type that no energy setting names (set_contact in either phase, or a
// non-zero per-type setting of a term) has contact energy 0 with every type
// and no term acting on it: set_cell_type warns about a cell given one.
#pragma once

#include <string>
#include <vector>

#include "lattice.hpp"

namespace tessaly {

struct World;

// One sentence per problem found, each naming the setting, in a fixed order
// (temperature, contact energies, cells, terms, fields); empty when all is well.
// Of the contact table only the pairs that set_contact named are read (the
// first NaN is reported): a large table is mostly never written and is not
// walked.
std::vector<std::string> questionable_settings(const World& w);

// Whether some energy setting names type t: a set_contact call in either
// phase (its pair as recorded, even with j = 0), or a term's entry for t
// that is not off (a λ or force ≠ 0, NaN included; anchored; forming
// junctions).
bool type_named_by_energy(const World& w, CellType t);

}  // namespace tessaly
