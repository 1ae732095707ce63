// Settings that the dynamics accepts but that are almost certainly mistakes:
// a temperature that is not a positive finite number; NaN in a contact energy,
// a target or a λ (of a cell or of a term's type); a negative λ of the volume,
// surface or length terms; a NaN or negative membrane stiffness; a field whose
// explicit diffusion step is unstable (d·dt above 1/(2·dimensions), every
// substep using dt) or whose decay·dt exceeds 1. Results are not changed by
// any of them: finalize reports them as warnings and runs on.
#pragma once

#include <string>
#include <vector>

namespace tessaly {

struct World;

// One sentence per problem found, each naming the setting, in a fixed order
// (temperature, contact energies, cells, terms, fields); empty when all is well.
// Of the contact table only the pairs that set_contact named are read (the
// first NaN is reported): a large table is mostly never written and is not
// walked.
std::vector<std::string> questionable_settings(const World& w);

}  // namespace tessaly
