// The cells' systems, rules and division rule: reading their texts line by
// line, and running the compiled programs over the cells in blocks.
#include "cell_system.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "bytes.hpp"
#include "error.hpp"
#include "field.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

// ---- texts ----

struct Line {
    std::string_view text;  // without its comment
    std::size_t number;     // from 1
};

bool space(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9'); }

std::size_t skip_space(std::string_view s, std::size_t pos) {
    while (pos < s.size() && space(s[pos])) ++pos;
    return pos;
}

// The lines that hold anything but blanks and a comment.
std::vector<Line> lines_of(std::string_view text) {
    std::vector<Line> lines;
    std::size_t number = 1;
    for (std::size_t start = 0; start <= text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        line = line.substr(0, std::min(line.find('#'), line.size()));
        if (skip_space(line, 0) < line.size()) lines.push_back({line, number});
        start = end + 1;
    }
    return lines;
}

// The word at `pos`: a name, or one character (empty at the end).
std::string_view word_at(std::string_view s, std::size_t pos) {
    if (pos >= s.size()) return {};
    std::size_t end = pos + 1;
    if (name_start(s[pos]))
        while (end < s.size() && name_char(s[end])) ++end;
    else
        while (end < s.size() && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) ++end;
    return s.substr(pos, end - pos);
}

[[noreturn]] void refuse(const Line& l, std::size_t at, const std::string& what) {
    throw ExpressionError(l.number, column_of(l.text, at), std::string(word_at(l.text, at)), what);
}

[[noreturn]] void expected(const Line& l, std::size_t at, std::string_view form) {
    const std::string_view w = word_at(l.text, at);
    refuse(l, at, w.empty() ? cat({"expected ", form, ", found the end of the line"})
                            : cat({"expected ", form, ", found '", w, "'"}));
}

// NAME then (for an equation) ', then a lone =; returns where the
// expression starts and sets `name` and `name_at`.
std::size_t left_side(const Line& l, bool derivative, std::string_view& name, std::size_t& name_at) {
    const std::string_view form = derivative ? "NAME' = EXPR" : "NAME = EXPR";
    std::size_t pos = skip_space(l.text, 0);
    if (!name_start(l.text[pos])) expected(l, pos, form);
    name_at = pos;
    while (pos < l.text.size() && name_char(l.text[pos])) ++pos;
    name = l.text.substr(name_at, pos - name_at);
    pos = skip_space(l.text, pos);
    if (derivative) {
        if (pos >= l.text.size() || l.text[pos] != '\'') expected(l, pos, form);
        pos = skip_space(l.text, pos + 1);
    }
    if (pos >= l.text.size() || l.text[pos] != '=' || (pos + 1 < l.text.size() && l.text[pos + 1] == '='))
        expected(l, pos, form);
    return pos + 1;
}

[[noreturn]] void nothing_in(std::string_view what) { throw ExpressionError(1, 1, "", cat({"no ", what})); }

constexpr std::pair<std::string_view, RuleTarget> rule_targets[] = {
    {"target_volume", RuleTarget::target_volume},   {"lambda_volume", RuleTarget::lambda_volume},
    {"target_surface", RuleTarget::target_surface}, {"lambda_surface", RuleTarget::lambda_surface},
    {"cell_type", RuleTarget::cell_type},
};

// The one expression of a condition.
Program condition_program(const World& w, const std::string& text, const Params& params) {
    const std::vector<Line> lines = lines_of(text);
    if (lines.empty()) nothing_in("condition");
    if (lines.size() > 1) {
        const Line& second = lines[1];
        refuse(second, skip_space(second.text, 0), "a condition is one expression, on one line");
    }
    Compiler c(w, params);
    c.add(lines[0].text, lines[0].number, 0);
    return c.compile();
}

// ---- passes over cells ----

bool selected(const CellSelection& s, CellType t) {
    return s.all_but_medium ? t != 0 : std::binary_search(s.types.begin(), s.types.end(), t);
}

// The cells that own a site, in id order.
void select_cells(const World& w, const CellSelection& s, std::vector<CellId>& ids) {
    ids.clear();
    for (std::size_t id = 1; id < w.cells.size(); ++id) {
        const Cell& c = w.cells[id];
        if (c.trackers.volume > 0 && selected(s, c.cell_type)) ids.push_back(static_cast<CellId>(id));
    }
}

const NeighborGraph& graph_of(World& w) {
    CellPrograms& p = w.terms.programs;
    if (p.scratch.graph_step != p.mcs || p.scratch.graph.offsets.size() != w.cells.size() + 1) {
        // from now on the copies keep the graph, so that reading it costs O(cells + pairs)
        track_neighbors(w);
        neighbor_graph(w, p.scratch.graph);
        p.scratch.graph_step = p.mcs;
    }
    return p.scratch.graph;
}

const std::vector<double>& means_of(World& w, std::size_t f) {
    CellScratch& s = w.terms.programs.scratch;
    if (s.field_means.size() < w.fields.size()) {
        s.field_means.resize(w.fields.size());
        s.means_step.resize(w.fields.size(), UINT64_MAX);
    }
    if (s.means_step[f] != w.terms.programs.mcs || s.field_means[f].size() != w.cells.size()) {
        field_means(w, f, s.field_means[f]);
        s.means_step[f] = w.terms.programs.mcs;
    }
    return s.field_means[f];
}

// Σ area·A over each selected cell's neighbouring cells, in row order, and
// divided by Σ area for the mean (0 without neighbours).
void neighbour_column(const NeighborGraph& g, const std::vector<double>& a, bool mean, const std::vector<CellId>& ids,
                      std::vector<double>& out) {
    out.resize(a.size());
    for (const CellId id : ids) {
        double s = 0.0, t = 0.0;
        if (std::size_t{id} + 1 < g.offsets.size())
            for (std::size_t e = g.offsets[id]; e < g.offsets[id + 1]; ++e) {
                const CellId partner = g.partner[e];
                if (partner == MEDIUM) continue;
                const double area = static_cast<double>(g.area[e]);
                s += area * a[partner];
                t += area;
            }
        out[id] = mean ? (t > 0.0 ? s / t : 0.0) : s;
    }
}

// Where each input of `p` is read from, by id: an attribute's column, or a
// column made now (neighbours, fields); null for the built-in values.
void prepare_inputs(World& w, const Program& p, const std::vector<CellId>& ids, std::vector<const double*>& from) {
    CellScratch& s = w.terms.programs.scratch;
    from.assign(p.inputs.size(), nullptr);
    if (s.columns.size() < p.inputs.size()) s.columns.resize(p.inputs.size());
    for (std::size_t k = 0; k < p.inputs.size(); ++k) {
        const Input in = p.inputs[k];
        switch (in.kind) {
            case InputKind::attribute: from[k] = w.state.attributes[in.index].values.data(); break;
            case InputKind::nbr_mean:
            case InputKind::nbr_sum:
                neighbour_column(graph_of(w), w.state.attributes[in.index].values, in.kind == InputKind::nbr_mean, ids,
                                 s.columns[k]);
                from[k] = s.columns[k].data();
                break;
            case InputKind::field: from[k] = means_of(w, in.index).data(); break;
            default: break;
        }
    }
}

// The inputs' rows for the n cells at `ids`, but those `skip` says.
template <typename Skip>
void gather(const World& w, const Program& p, const std::vector<const double*>& from, const CellId* ids,
            std::size_t n, double* registers, Skip skip) {
    const Cell* cells = w.cells.data();
    const double mcs = static_cast<double>(w.terms.programs.mcs);
    for (std::size_t k = 0; k < p.inputs.size(); ++k) {
        if (skip(k)) continue;
        double* row = registers + k * block_size;
        switch (p.inputs[k].kind) {
            case InputKind::volume:
                for (std::size_t j = 0; j < n; ++j) row[j] = static_cast<double>(cells[ids[j]].trackers.volume);
                break;
            case InputKind::surface:
                for (std::size_t j = 0; j < n; ++j) row[j] = static_cast<double>(cells[ids[j]].trackers.surface);
                break;
            case InputKind::target_volume:
                for (std::size_t j = 0; j < n; ++j) row[j] = cells[ids[j]].target_volume;
                break;
            case InputKind::cell_type:
                for (std::size_t j = 0; j < n; ++j) row[j] = static_cast<double>(cells[ids[j]].cell_type);
                break;
            case InputKind::mcs:
                for (std::size_t j = 0; j < n; ++j) row[j] = mcs;
                break;
            default: {
                const double* column = from[k];
                for (std::size_t j = 0; j < n; ++j) row[j] = column[ids[j]];
                break;
            }
        }
    }
}

void ready_registers(CellScratch& s, const Program& p) {
    s.registers.resize(std::size_t{p.n_registers} * block_size);
    load_constants(p, s.registers.data());
}

// One system's RK4 steps, block by block.
void run_system(World& w, const CellSystem& sys) {
    CellScratch& s = w.terms.programs.scratch;
    select_cells(w, sys.cells, s.ids);
    if (s.ids.empty()) return;
    const Program& p = sys.program;
    const std::size_t m = sys.state.size();
    std::vector<const double*>& from = s.from;
    prepare_inputs(w, p, s.ids, from);
    ready_registers(s, p);
    for (std::vector<double>* v : {&s.y, &s.stage, &s.k, &s.sum}) v->resize(m * block_size);
    double* r = s.registers.data();
    double* y = s.y.data();
    double* stage = s.stage.data();
    double* k = s.k.data();
    double* sum = s.sum.data();
    const double h = sys.dt / static_cast<double>(sys.substeps);
    const double h2 = h / 2.0, h6 = h / 6.0;
    const auto is_state = [&](std::size_t input) { return sys.state_of_input[input] != NOT_STATE; };
    for (std::size_t start = 0; start < s.ids.size(); start += block_size) {
        const std::size_t n = std::min(block_size, s.ids.size() - start);
        const CellId* ids = s.ids.data() + start;
        gather(w, p, from, ids, n, r, is_state);
        for (std::size_t e = 0; e < m; ++e) {
            const double* column = w.state.attributes[sys.state[e]].values.data();
            for (std::size_t j = 0; j < n; ++j) y[e * block_size + j] = column[ids[j]];
        }
        // the derivatives at x (equations × block_size) into k
        const auto derivatives = [&](const double* x) {
            for (std::size_t in = 0; in < p.inputs.size(); ++in) {
                const std::size_t e = sys.state_of_input[in];
                if (e != NOT_STATE) std::copy(x + e * block_size, x + e * block_size + n, r + in * block_size);
            }
            run(p, r, n);
            for (std::size_t e = 0; e < m; ++e)
                std::copy(r + p.results[e] * block_size, r + p.results[e] * block_size + n, k + e * block_size);
        };
        for (std::uint32_t step = 0; step < sys.substeps; ++step) {
            derivatives(y);
            for (std::size_t q = 0; q < m * block_size; q += block_size)
                for (std::size_t j = q; j < q + n; ++j) {
                    sum[j] = k[j];
                    stage[j] = y[j] + h2 * k[j];
                }
            derivatives(stage);
            for (std::size_t q = 0; q < m * block_size; q += block_size)
                for (std::size_t j = q; j < q + n; ++j) {
                    sum[j] = sum[j] + 2.0 * k[j];
                    stage[j] = y[j] + h2 * k[j];
                }
            derivatives(stage);
            for (std::size_t q = 0; q < m * block_size; q += block_size)
                for (std::size_t j = q; j < q + n; ++j) {
                    sum[j] = sum[j] + 2.0 * k[j];
                    stage[j] = y[j] + h * k[j];
                }
            derivatives(stage);
            for (std::size_t q = 0; q < m * block_size; q += block_size)
                for (std::size_t j = q; j < q + n; ++j) y[j] = y[j] + h6 * (sum[j] + k[j]);
        }
        for (std::size_t e = 0; e < m; ++e) {
            double* column = w.state.attributes[sys.state[e]].values.data();
            for (std::size_t j = 0; j < n; ++j) column[ids[j]] = y[e * block_size + j];
        }
    }
}

// One value per selected cell of a one-result program, block by block,
// handed to put(id, value).
template <typename Put>
void evaluate(World& w, const Program& p, const std::vector<CellId>& ids, Put put) {
    CellScratch& s = w.terms.programs.scratch;
    std::vector<const double*>& from = s.from;
    prepare_inputs(w, p, ids, from);
    ready_registers(s, p);
    double* r = s.registers.data();
    for (std::size_t start = 0; start < ids.size(); start += block_size) {
        const std::size_t n = std::min(block_size, ids.size() - start);
        gather(w, p, from, ids.data() + start, n, r, [](std::size_t) { return false; });
        run(p, r, n);
        const double* v = r + p.results[0] * block_size;
        for (std::size_t j = 0; j < n; ++j) put(ids[start + j], v[j]);
    }
}

void run_line(World& w, const RuleLine& line, const std::vector<CellId>& ids) {
    Cell* cells = w.cells.data();
    switch (line.target) {
        case RuleTarget::attribute: {
            double* column = w.state.attributes[line.attribute].values.data();
            evaluate(w, line.program, ids, [&](CellId id, double v) { column[id] = v; });
            break;
        }
        case RuleTarget::target_volume:
            evaluate(w, line.program, ids, [&](CellId id, double v) { cells[id].target_volume = v; });
            break;
        case RuleTarget::lambda_volume:
            evaluate(w, line.program, ids, [&](CellId id, double v) { cells[id].lambda_volume = v; });
            break;
        case RuleTarget::target_surface:
            evaluate(w, line.program, ids, [&](CellId id, double v) { cells[id].target_surface = v; });
            break;
        case RuleTarget::lambda_surface:
            evaluate(w, line.program, ids, [&](CellId id, double v) { cells[id].lambda_surface = v; });
            // the surface guard: on while some cell has λS ≠ 0 (a NaN counts)
            w.surface_active = false;
            for (const Cell& c : w.cells) w.surface_active = w.surface_active || c.lambda_surface != 0.0;
            break;
        case RuleTarget::cell_type:
            evaluate(w, line.program, ids, [&](CellId id, double v) {
                const double t = std::round(v);
                if (!(t >= 0.0 && t <= 65535.0)) return;
                const auto type = static_cast<CellType>(t);
                if (cells[id].cell_type != type) w.terms.programs.registry_changed = true;
                cells[id].cell_type = type;
            });
            break;
    }
}

// ---- checkpoints ----

void put_text(ByteWriter& out, const std::string& text, const Params& params, const CellSelection& cells) {
    out.str(text);
    out.u64(params.size());
    for (const auto& [name, value] : params) {
        out.str(name);
        out.f64(value);
    }
    out.boolean(cells.all_but_medium);
    out.u64(cells.types.size());
    for (const CellType t : cells.types) out.u16(t);
}

void get_text(ByteReader& in, std::string& text, Params& params, CellSelection& cells) {
    text = in.str();
    params.resize(in.count(16));
    for (auto& [name, value] : params) {
        name = in.str();
        value = in.f64();
    }
    cells.all_but_medium = in.boolean();
    cells.types.resize(in.count(2));
    for (CellType& t : cells.types) t = in.u16();
    for (std::size_t k = 1; k < cells.types.size(); ++k)
        if (cells.types[k] <= cells.types[k - 1]) damaged("a cell program's types are not ascending");
}

bool fresh_rng(const Rng& rng) {
    const Rng fresh = seed_from_u64(0);
    return std::equal(std::begin(rng.s), std::end(rng.s), std::begin(fresh.s));
}

}  // namespace

// ---- adding ----

std::size_t add_cell_system(World& w, const std::string& text, const Params& params, const CellSelection& cells,
                            double dt, std::uint32_t substeps) {
    if (substeps == 0) fail("a system advances in at least one substep");
    CellSystem sys;
    sys.text = text;
    sys.params = params;
    sys.cells = cells;
    sys.dt = dt;
    sys.substeps = substeps;
    Compiler c(w, params);
    for (const Line& l : lines_of(text)) {
        std::string_view name;
        std::size_t name_at = 0;
        const std::size_t start = left_side(l, true, name, name_at);
        const std::size_t a = find_attribute(w.state, name);
        if (a == NO_ATTRIBUTE) refuse(l, name_at, cat({"'", name, "' is not a cell attribute"}));
        if (std::find(sys.state.begin(), sys.state.end(), a) != sys.state.end())
            refuse(l, name_at, cat({"'", name, "' has a second equation"}));
        c.add(l.text, l.number, start);
        sys.state.push_back(a);
    }
    if (sys.state.empty()) nothing_in("equation");
    sys.program = c.compile();
    for (const Input& in : sys.program.inputs) {
        std::size_t e = NOT_STATE;
        if (in.kind == InputKind::attribute)
            for (std::size_t q = 0; q < sys.state.size(); ++q)
                if (sys.state[q] == in.index) e = q;
        sys.state_of_input.push_back(e);
    }
    CellPrograms& p = w.terms.programs;
    p.systems.push_back(std::move(sys));
    return p.systems.size() - 1;
}

std::size_t add_cell_rule(World& w, const std::string& text, const Params& params, const CellSelection& cells) {
    CellRule rule;
    rule.text = text;
    rule.params = params;
    rule.cells = cells;
    for (const Line& l : lines_of(text)) {
        std::string_view name;
        std::size_t name_at = 0;
        const std::size_t start = left_side(l, false, name, name_at);
        RuleLine line{RuleTarget::attribute, 0, {}};
        bool known = false;
        for (const auto& [target_name, target] : rule_targets)
            if (target_name == name) line.target = target, known = true;
        if (!known) {
            line.attribute = find_attribute(w.state, name);
            if (line.attribute == NO_ATTRIBUTE)
                refuse(l, name_at,
                       cat({"'", name,
                            "' is not a cell attribute or one of target_volume, lambda_volume, target_surface, "
                            "lambda_surface, cell_type"}));
        }
        Compiler c(w, params);
        c.add(l.text, l.number, start);
        line.program = c.compile();
        rule.lines.push_back(std::move(line));
    }
    if (rule.lines.empty()) nothing_in("assignment");
    CellPrograms& p = w.terms.programs;
    p.rules.push_back(std::move(rule));
    return p.rules.size() - 1;
}

void set_division_rule(World& w, const std::optional<std::string>& text, const Params& params,
                       const CellSelection& cells, DivisionAxis orientation) {
    if (orientation == DivisionAxis::given) fail("a division rule divides along an axis of the cell or at random");
    DivisionRule rule;
    if (text) {
        rule.program = condition_program(w, *text, params);
        rule.on = true;
        rule.text = *text;
        rule.params = params;
        rule.cells = cells;
        rule.orientation = orientation;
    }
    w.terms.programs.division = std::move(rule);
}

void seed_cell_programs(CellPrograms& programs, std::uint64_t seed) {
    programs.rng = seed_from_u64(seed ^ 0xD1B54A32D192ED03ULL);
}

// ---- running ----

void run_cell_systems(World& w) {
    for (const CellSystem& sys : w.terms.programs.systems) run_system(w, sys);
}

void run_cell_rules(World& w) {
    CellPrograms& p = w.terms.programs;
    for (const CellRule& rule : p.rules) {
        select_cells(w, rule.cells, p.scratch.rule_ids);
        for (const RuleLine& line : rule.lines) run_line(w, line, p.scratch.rule_ids);
    }
}

void run_division_rule(World& w) {
    CellPrograms& p = w.terms.programs;
    const DivisionRule& rule = p.division;
    select_cells(w, rule.cells, p.scratch.ids);
    std::vector<CellId>& dividing = p.scratch.dividing;
    dividing.clear();
    evaluate(w, rule.program, p.scratch.ids, [&](CellId id, double v) {
        if (v != 0.0) dividing.push_back(id);
    });
    // in id order; a cell that cannot be cut (one side would be empty) stays whole
    for (const CellId id : dividing) {
        const ChosenDivision done = divide_cell(w, id, rule.orientation, {}, &p.rng, std::nullopt);
        if (done.refusal == DivisionRefusal::none) p.registry_changed = true;
    }
    // divide_cell moves sites outside the copies and leaves a kept neighbour
    // graph as it was: rebuilt once after the step's divisions
    if (p.registry_changed) rebuild_neighbors(w);
}

// ---- checkpoints ----

void write(ByteWriter& out, const CellPrograms& p) {
    if (p.systems.empty() && p.rules.empty() && !p.division.on && p.mcs == 0 && fresh_rng(p.rng)) return;
    out.u64(p.mcs);
    for (const std::uint64_t s : p.rng.s) out.u64(s);
    out.u64(p.systems.size());
    for (const CellSystem& sys : p.systems) {
        put_text(out, sys.text, sys.params, sys.cells);
        out.f64(sys.dt);
        out.u32(sys.substeps);
    }
    out.u64(p.rules.size());
    for (const CellRule& rule : p.rules) put_text(out, rule.text, rule.params, rule.cells);
    out.boolean(p.division.on);
    if (p.division.on) {
        put_text(out, p.division.text, p.division.params, p.division.cells);
        out.u8(static_cast<std::uint8_t>(p.division.orientation));
    }
}

void read(ByteReader& in, CellPrograms& p, World& w) {
    p = CellPrograms{};
    p.mcs = in.u64();
    bool all_zero = true;
    for (std::uint64_t& s : p.rng.s) {
        s = in.u64();
        all_zero = all_zero && s == 0;
    }
    if (all_zero) damaged("a generator state of zeros");
    std::string text;
    Params params;
    CellSelection cells;
    // the texts compile against the world's attributes and fields as they were saved
    try {
        const std::size_t n_systems = in.count(8 + 8 + 1 + 8 + 8 + 4);
        for (std::size_t k = 0; k < n_systems; ++k) {
            get_text(in, text, params, cells);
            const double dt = in.f64();
            const std::uint32_t substeps = in.u32();
            if (substeps == 0) damaged("a cell system advances in 0 substeps");
            add_cell_system(w, text, params, cells, dt, substeps);
        }
        const std::size_t n_rules = in.count(8 + 8 + 1 + 8);
        for (std::size_t k = 0; k < n_rules; ++k) {
            get_text(in, text, params, cells);
            add_cell_rule(w, text, params, cells);
        }
        if (in.boolean()) {
            get_text(in, text, params, cells);
            const std::uint8_t axis = in.u8();
            if (axis != static_cast<std::uint8_t>(DivisionAxis::major) &&
                axis != static_cast<std::uint8_t>(DivisionAxis::minor) &&
                axis != static_cast<std::uint8_t>(DivisionAxis::random))
                damaged("a division rule's orientation " + std::to_string(axis));
            set_division_rule(w, text, params, cells, static_cast<DivisionAxis>(axis));
        }
    } catch (const ExpressionError& e) {
        damaged(cat({"a cell program does not compile: ", e.what()}));
    }
}

}  // namespace tessaly
