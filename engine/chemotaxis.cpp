// chemotaxis: ΔH = −Σ_fields λ(t)·(g(target) − g(source)), t the extending cell's type;
//          g = c (plain) or xⁿ/(Kⁿ + xⁿ), x = max(c·s, 0) (occupancy, K > 0)
#include "chemotaxis.hpp"

#include <cmath>

#include "world.hpp"

namespace tessaly {

namespace {

// Extends a per-type list with 0.0 so that it covers `cell_type`.
void cover(std::vector<double>& list, CellType cell_type) {
    if (list.size() <= cell_type) list.resize(std::size_t{cell_type} + 1, 0.0);
}

// The response to field `field_idx`; fails as the field read-outs do.
FieldChemotaxis& response_mut(World& w, std::size_t field_idx) {
    (void)field_at(w, field_idx);
    return w.terms.chemotaxis.fields[field_idx];
}

// Receptor occupancy xⁿ/(Kⁿ + xⁿ) of concentration c, x = c·s; 0 unless x > 0.
double occupancy(double c, double kd, double hill, double scale) {
    const double x = c * scale;
    if (!(x > 0.0)) return 0.0;
    const double xn = std::pow(x, hill);
    return xn / (std::pow(kd, hill) + xn);
}

}  // namespace

void refresh(ChemotaxisTerm& term) {
    term.on = false;
    for (const FieldChemotaxis& response : term.fields)
        for (const double lambda : response.lambda) term.on = term.on || lambda != 0.0;
}

void add_field_response(ChemotaxisTerm& term, std::size_t n_types) {
    const std::vector<double> zeros(n_types, 0.0);
    term.fields.push_back(FieldChemotaxis{zeros, zeros, zeros, zeros});
}

void set_chemotaxis(World& w, std::size_t field_idx, CellType cell_type, double lambda) {
    FieldChemotaxis& response = response_mut(w, field_idx);
    cover(response.lambda, cell_type);
    response.lambda[cell_type] = lambda;
    refresh_terms(w);
}

void set_chemotaxis_occupancy(World& w, std::size_t field_idx, CellType cell_type, double lambda, double kd,
                              double hill, double scale) {
    FieldChemotaxis& response = response_mut(w, field_idx);
    cover(response.lambda, cell_type);
    cover(response.kd, cell_type);
    cover(response.hill, cell_type);
    cover(response.scale, cell_type);
    response.lambda[cell_type] = lambda;
    response.kd[cell_type] = kd;
    response.hill[cell_type] = hill;
    response.scale[cell_type] = scale;
    refresh_terms(w);
}

double delta_chemotaxis(const World& w, std::size_t target, std::size_t source, CellId n) {
    const CellType t = w.cells[n].cell_type;
    const std::vector<FieldChemotaxis>& responses = w.terms.chemotaxis.fields;
    double sum = 0.0;
    for (std::size_t f = 0; f < w.fields.size(); ++f) {
        const FieldChemotaxis& response = responses[f];
        // a NaN strength counts as switched on
        if (t >= response.lambda.size() || response.lambda[t] == 0.0) continue;
        const double lambda = response.lambda[t];
        const std::vector<float>& conc = w.fields[f].conc;
        double g_target = static_cast<double>(conc[target]);
        double g_source = static_cast<double>(conc[source]);
        if (t < response.kd.size() && response.kd[t] > 0.0) {
            const double kd = response.kd[t];
            const double hill = response.hill[t];
            const double scale = response.scale[t];
            g_target = occupancy(g_target, kd, hill, scale);
            g_source = occupancy(g_source, kd, hill, scale);
        }
        sum = sum - lambda * (g_target - g_source);
    }
    return sum;
}

// ---- checkpoint ----

// One response per field, each list exactly as long as it is (the lengths
// are part of the state: they cover the types present when the field came).
void write(ByteWriter& out, const ChemotaxisTerm& term) {
    if (term.fields.empty()) return;
    out.u64(term.fields.size());
    for (const FieldChemotaxis& f : term.fields) {
        out.f64s(f.lambda);
        out.f64s(f.kd);
        out.f64s(f.hill);
        out.f64s(f.scale);
    }
}

void read(ByteReader& in, ChemotaxisTerm& term, const World& w) {
    const std::size_t n = in.count(32);
    if (n != w.fields.size()) damaged("the chemotaxis responses do not match the fields");
    term.fields.resize(n);
    for (FieldChemotaxis& f : term.fields) {
        f.lambda = in.f64s();
        f.kd = in.f64s();
        f.hill = in.f64s();
        f.scale = in.f64s();
        // the occupancy form reads all three for a type
        if (f.hill.size() != f.kd.size() || f.scale.size() != f.kd.size())
            damaged("the chemotaxis occupancy lists differ in length");
    }
}

}  // namespace tessaly
