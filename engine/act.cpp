#include "act.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "world.hpp"

namespace tessaly {

namespace {

// 1/k for the k values of a local mean (site i and up to 26 neighbours).
struct Reciprocals {
    double value[28];
    Reciprocals() {
        value[0] = 0.0;
        for (int k = 1; k < 28; ++k) value[k] = 1.0 / static_cast<double>(k);
    }
};
const Reciprocals reciprocals;

template <typename Visit>
inline void for_each_neighbor(const Lattice& lat, std::size_t i, Visit visit) {
    if (lat.is_interior(i)) {
        for (const std::int64_t step : lat.offset_step) visit(static_cast<std::size_t>(static_cast<std::int64_t>(i) + step));
    } else {
        // kept per thread: a 26-neighbourhood list outgrows the inline storage once, not per call
        thread_local SiteList nb;
        neighbors_slow(lat, i, nb);
        for (const std::size_t j : nb) visit(j);
    }
}

}  // namespace

void refresh(ActTerm& term) {
    term.on = false;
    term.scale.assign(term.lambda.size(), 0.0);
    for (std::size_t t = 0; t < term.lambda.size(); ++t) {
        if (term.lambda[t] == 0.0 || term.max_act[t] == 0) continue;
        term.scale[t] = term.lambda[t] / static_cast<double>(term.max_act[t]);
        term.on = true;
    }
}

void set_act(World& w, CellType cell_type, double lambda, std::uint8_t max_act) {
    ActTerm& term = w.terms.act;
    // every allocation first, so that running out of memory changes nothing
    const std::size_t n_types = std::max(term.lambda.size(), std::size_t{cell_type} + 1);
    std::vector<double> lambdas(term.lambda);
    std::vector<std::uint8_t> maxes(term.max_act);
    lambdas.resize(n_types, 0.0);
    maxes.resize(n_types, 0);
    lambdas[cell_type] = lambda;
    maxes[cell_type] = max_act;
    term.scale.reserve(n_types);  // refresh then fills it without allocating
    if (term.activity.size() != w.lattice.n_sites()) term.activity.assign(w.lattice.n_sites(), 0);
    term.lambda.swap(lambdas);
    term.max_act.swap(maxes);
    refresh_terms(w);
}

void set_act_mean(World& w, bool arithmetic) { w.terms.act.arithmetic = arithmetic; }

double local_activity(const World& w, std::size_t i, CellId c) {
    if (c == MEDIUM) return 0.0;
    const ActTerm& act = w.terms.act;
    const CellId* sites = w.lattice.sites.data();
    const std::uint8_t* a = act.activity.data();
    if (act.arithmetic) {
        unsigned sum = a[i], k = 1;
        for_each_neighbor(w.lattice, i, [&](std::size_t j) {
            if (j == i || sites[j] != c) return;
            sum += a[j];
            ++k;
        });
        return static_cast<double>(sum) * reciprocals.value[k];
    }
    if (a[i] == 0) return 0.0;
    double product = a[i];
    unsigned k = 1;
    bool zero = false;
    for_each_neighbor(w.lattice, i, [&](std::size_t j) {
        if (j == i || sites[j] != c) return;
        zero = zero || a[j] == 0;
        product *= static_cast<double>(a[j]);
        ++k;
    });
    return zero ? 0.0 : std::pow(product, reciprocals.value[k]);
}

double delta_act(const World& w, std::size_t target, std::size_t source, CellId n) {
    const ActTerm& act = w.terms.act;
    const CellId o = w.lattice.sites[target];
    const CellType t = w.cells[n != MEDIUM ? n : o].cell_type;
    if (t >= act.scale.size() || act.scale[t] == 0.0) return 0.0;
    return act.scale[t] * (local_activity(w, target, o) - local_activity(w, source, n));
}

// ---- checkpoint ----

void write(ByteWriter& out, const ActTerm& term) {
    if (term.lambda.empty() && term.activity.empty() && !term.arithmetic) return;
    out.f64s(term.lambda);
    out.u8s(term.max_act);
    out.boolean(term.arithmetic);
    out.u8s(term.activity);
}

void read(ByteReader& in, ActTerm& term, const World& w) {
    term.lambda = in.f64s();
    term.max_act = in.u8s();
    if (term.max_act.size() != term.lambda.size()) damaged("the Act model's lists differ in length");
    term.arithmetic = in.boolean();
    term.activity = in.u8s();
    if (!term.activity.empty() && term.activity.size() != w.lattice.n_sites()) damaged("activities do not cover the box");
    if (term.activity.empty() && !term.lambda.empty()) damaged("an Act model without activities");
}

void act_decay(ActTerm& term) {
    for (std::uint8_t& a : term.activity) a = static_cast<std::uint8_t>(a - (a != 0));
}

}  // namespace tessaly
