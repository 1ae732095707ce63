// World's methods that start and run the simulation: finalize and step.

#include "declare.hpp"  // first: it includes Python.h

#include <cstdint>
#include <string>

#include "cell_system.hpp"
#include "checks.hpp"
#include "init.hpp"
#include "persistence.hpp"
#include "sweep.hpp"

namespace tessaly::binding {

namespace {

// ---- methods: finalize and step ----

const Method World_finalize{
    "finalize", exclusive, params(arg("seed")), [](PyObject* self, std::uint64_t seed) {
        WorldSlots& s = slots_of(self);
        tessaly::World& w = setup_only(self, "already finalized");
        // a failure leaves the object in the set-up phase with its world
        tessaly::finish_setup(w);
        // nonsense the dynamics accepts: warned about once here, results unchanged
        // (a warning turned into an error stops finalize with the world still set up)
        for (const std::string& problem : tessaly::questionable_settings(w))
            if (PyErr_WarnEx(PyExc_RuntimeWarning, problem.c_str(), 1) < 0) throw PythonError{};
        tessaly::seed_persistence(w.terms.persistence, seed);
        tessaly::seed_cell_programs(w.terms.programs, seed);
        s.cpm.emplace(std::move(w), seed);
        s.setup_world.reset();
    }};

const Method World_step{
    "step", exclusive, params(arg("mcs")), [](PyObject* self, std::uint64_t mcs) {
        if (!tessaly::step(running_only(self), mcs, poll_signals)) raise_interrupted();
    }};

// This file's methods, in the order of World's method table.
const Method* const running_list[] = {
    &World_finalize,
    &World_step,
};

}  // namespace

const std::span<const Method* const> running_methods = running_list;

}  // namespace tessaly::binding
