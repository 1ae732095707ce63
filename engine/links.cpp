// links: E = Σ over links λ·(d − L)², d the minimum-image distance between the
// two cells' centroids (see links.hpp for how the centroids are kept exact on
// periodic axes, and for the per-step rules).
#include "links.hpp"

#include <algorithm>
#include <string>

#include "centroid.hpp"
#include "error.hpp"
#include "world.hpp"

namespace tessaly {

namespace {

// The registry as the place of link_point, between copy attempts.
struct RegistryView {
    static constexpr bool registry = true;
    const World* w;
    const Trackers& current(CellId id) const { return w->cells[id].trackers; }
    static std::array<std::int64_t, 3> shift(const LinkTerm& term, CellId id) { return term.shift[id]; }
    static void shift_by(LinkTerm& term, CellId id, unsigned axis, std::int64_t d) { term.shift[id][axis] += d; }
};

constexpr std::array<std::int64_t, 6> whole_axis = {INT64_MIN, INT64_MAX, INT64_MIN, INT64_MAX, INT64_MIN, INT64_MAX};

void set_box(LinkTerm& term, const Lattice& lattice) {
    term.box = {static_cast<double>(lattice.nx), static_cast<double>(lattice.ny), static_cast<double>(lattice.nz)};
    term.periodic = lattice.periodic;
    term.axes = lattice.nz > 1 ? 3 : 2;
}

// ⌊a / b⌋ for b > 0.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

// Brings U = Σx + L·k into [0, L·V) and sets the window about U / V.
void settle_frame(LinkTerm& term, const Cell& cell) {
    const CellId id = cell.id;
    const std::int64_t v = cell.trackers.volume;
    const double raw[3] = {cell.trackers.sum_x, cell.trackers.sum_y, cell.trackers.sum_z};
    for (unsigned a = 0; a < 3; ++a) {
        if (!term.periodic[a] || v <= 0) {
            term.shift[id][a] = 0;
            term.window[id][2 * a] = INT64_MIN;
            term.window[id][2 * a + 1] = INT64_MAX;
            continue;
        }
        const std::int64_t l = static_cast<std::int64_t>(term.box[a]);
        std::int64_t u = static_cast<std::int64_t>(raw[a]) + l * term.shift[id][a];
        const std::int64_t q = floor_div(u, l * v);
        term.shift[id][a] -= q * v;
        u -= q * l * v;
        const double r = static_cast<double>(u) / static_cast<double>(v);
        const double half = term.box[a] / 2.0;
        term.window[id][2 * a] = static_cast<std::int64_t>(std::ceil(r - half));
        term.window[id][2 * a + 1] = static_cast<std::int64_t>(std::floor(r + half));
    }
}

// The per-cell lists from the links, every per-cell list as long as the registry.
void rebuild(LinkTerm& term, std::size_t n_cells) {
    std::size_t n = n_cells;
    for (const Link& link : term.links) n = std::max<std::size_t>(n, std::size_t{link.b} + 1);
    term.first.assign(n + 1, 0);
    for (const Link& link : term.links) {
        term.first[link.a + 1] += 1;
        term.first[link.b + 1] += 1;
    }
    for (std::size_t c = 0; c < n; ++c) term.first[c + 1] += term.first[c];
    term.ends.resize(2 * term.links.size());
    std::vector<std::uint32_t> next(term.first.begin(), term.first.end() - 1);
    for (const Link& link : term.links) {
        const std::uint32_t at_a = next[link.a]++, at_b = next[link.b]++;
        term.ends[at_a] = {link.b, at_b, link.lambda, link.length, 0.0, 0.0};
        term.ends[at_b] = {link.a, at_a, link.lambda, link.length, 0.0, 0.0};
    }
    if (term.shift.size() < n) term.shift.resize(n, std::array<std::int64_t, 3>{});
    if (term.window.size() < n) term.window.resize(n, whole_axis);
    if (term.centre.size() < n) term.centre.resize(n, LinkPoint{{0.0, 0.0, 0.0}, true});
    if (term.reach.size() < n) term.reach.resize(n);
}

bool link_before(const Link& x, const Link& y) { return x.a != y.a ? x.a < y.a : x.b < y.b; }

std::vector<Link>::iterator find_link(LinkTerm& term, CellId a, CellId b) {
    const Link key{a, b, 0.0, 0.0, 0.0};
    const auto it = std::lower_bound(term.links.begin(), term.links.end(), key, link_before);
    return it != term.links.end() && it->a == a && it->b == b ? it : term.links.end();
}

// A value a link may carry: finite or infinite, never negative or NaN.
bool link_value(double v) { return v >= 0.0; }

void check_link_values(double lambda, double length, double max_length) {
    if (!link_value(lambda)) fail("link lambda must be >= 0");
    if (!link_value(length)) fail("link length must be >= 0");
    if (!link_value(max_length)) fail("link max_length must be >= 0");
}

// Turns the frames on when the term has just come on.
void after_change(World& w, bool was_on) {
    rebuild(w.terms.links, w.cells.size());
    refresh_terms(w);
    if (!was_on && w.terms.links.on) sync_link_frames(w, w.terms.links);
    refresh_link_cache(w, w.terms.links);
}

LinkPoint point_of(const World& w, CellId id) {
    return link_point(w.terms.links, RegistryView{&w}, id, 0, Coords{0, 0, 0});
}

}  // namespace

void refresh(LinkTerm& term) {
    term.on = !term.links.empty() || !term.rules.empty();
    term.wraps = term.on && (term.periodic[0] || term.periodic[1] || term.periodic[2]);
}

void add_links(World& w, std::vector<Link> batch) {
    for (Link& link : batch) {
        if (link.a == link.b) fail("a cell cannot be linked to itself");
        if (link.a == MEDIUM || link.b == MEDIUM) fail("the medium cannot be linked");
        (void)cell_at(w, link.a);
        (void)cell_at(w, link.b);
        check_link_values(link.lambda, link.length, link.max_length);
        if (link.a > link.b) std::swap(link.a, link.b);
    }
    LinkTerm& term = w.terms.links;
    const bool was_on = term.on;
    // of equal pairs the last in the batch, then over the links there are
    std::stable_sort(batch.begin(), batch.end(), link_before);
    std::vector<Link> merged;
    merged.reserve(term.links.size() + batch.size());
    auto same_pair = [](const Link& x, const Link& y) { return x.a == y.a && x.b == y.b; };
    std::size_t k = 0;
    for (std::size_t j = 0; j < batch.size(); ++j) {
        if (j + 1 < batch.size() && same_pair(batch[j], batch[j + 1])) continue;
        while (k < term.links.size() && link_before(term.links[k], batch[j])) merged.push_back(term.links[k++]);
        if (k < term.links.size() && same_pair(term.links[k], batch[j])) ++k;
        merged.push_back(batch[j]);
    }
    merged.insert(merged.end(), term.links.begin() + static_cast<std::ptrdiff_t>(k), term.links.end());
    term.links = std::move(merged);
    after_change(w, was_on);
}

void add_link(World& w, CellId a, CellId b, double lambda, double length, double max_length) {
    add_links(w, {Link{a, b, lambda, length, max_length}});
}

bool remove_link(World& w, CellId a, CellId b) {
    LinkTerm& term = w.terms.links;
    if (a > b) std::swap(a, b);
    const auto it = find_link(term, a, b);
    if (it == term.links.end()) return false;
    term.links.erase(it);
    after_change(w, true);
    return true;
}

void set_link_formation(World& w, CellType type_a, CellType type_b, double lambda, double length, double max_length,
                        std::uint32_t max_links) {
    check_link_values(lambda, length, max_length);
    LinkTerm& term = w.terms.links;
    const bool was_on = term.on;
    if (type_a > type_b) std::swap(type_a, type_b);
    const LinkFormation rule{type_a, type_b, lambda, length, max_length, max_links};
    auto it = term.rules.begin();
    while (it != term.rules.end() && !(it->type_a == type_a && it->type_b == type_b)) ++it;
    if (it != term.rules.end()) {
        *it = rule;
    } else {
        term.rules.push_back(rule);
    }
    after_change(w, was_on);
}

double link_distance(const World& w, const Link& link) {
    return link_gap(w.terms.links, point_of(w, link.a), point_of(w, link.b));
}

std::vector<double> link_distances(const World& w, bool trackers_current) {
    const LinkTerm& term = w.terms.links;
    std::vector<double> out;
    out.reserve(term.links.size());
    if (trackers_current) {
        for (const Link& link : term.links) out.push_back(link_distance(w, link));
        return out;
    }
    const CentroidSums sums = centroid_sums(w, nullptr);
    for (const Link& link : term.links) {
        if (sums.volume[link.a] == 0 || sums.volume[link.b] == 0) {
            out.push_back(std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        const Vec3 d = minimum_image(w, mean_of(sums, link.a), mean_of(sums, link.b));
        out.push_back(std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]));
    }
    return out;
}

double link_energy(const World& w) {
    const LinkTerm& term = w.terms.links;
    double total = 0.0;
    for (const Link& link : term.links) total += link_energy_at(link, link_distance(w, link));
    return total;
}

void sync_link_frames(const World& w, LinkTerm& term) {
    set_box(term, w.lattice);
    refresh(term);
    const std::size_t n = w.cells.size();
    if (term.first.size() < n + 1) rebuild(term, n);
    if (term.shift.size() < n) term.shift.resize(n, std::array<std::int64_t, 3>{});
    if (term.window.size() < n) term.window.resize(n, whole_axis);
    if (!term.wraps) {
        std::fill(term.shift.begin(), term.shift.end(), std::array<std::int64_t, 3>{});
        std::fill(term.window.begin(), term.window.end(), whole_axis);
        refresh_link_cache(w, term);
        return;
    }
    // the unwrapped sums of cell_centroids(), as shifts from the raw sums
    const CentroidSums sums = centroid_sums(w, tracking_on(w.terms) ? &w.terms.tracks : nullptr);
    for (std::size_t id = 1; id < n; ++id) {
        const Trackers& t = w.cells[id].trackers;
        const double raw[3] = {t.sum_x, t.sum_y, t.sum_z};
        for (unsigned a = 0; a < 3; ++a) {
            const std::int64_t l = static_cast<std::int64_t>(term.box[a]);
            term.shift[id][a] = term.periodic[a] ? (sums.sum[id][a] - static_cast<std::int64_t>(raw[a])) / l : 0;
        }
        settle_frame(term, w.cells[id]);
    }
    refresh_link_cache(w, term);
}

void refresh_link_cache(const World& w, LinkTerm& term) {
    const RegistryView view{&w};
    const std::size_t n = std::min(w.cells.size(), term.centre.size());
    for (std::size_t id = 1; id < n; ++id) term.centre[id] = link_point(term, view, static_cast<CellId>(id), 0, {});
    for (std::size_t id = 1; id + 1 < term.first.size(); ++id)
        for (std::uint32_t e = term.first[id]; e < term.first[id + 1]; ++e) {
            LinkEnd& end = term.ends[e];
            if (end.partner < id) continue;  // priced once, from the end of the lower id
            set_gap(term, end, link_gap(term, term.centre[id], term.centre[end.partner]));
        }
    term.slack = 1e-12 * (std::max({term.box[0], term.box[1], term.box[2]}) + 1.0);
    for (std::size_t id = 1; id < term.reach.size(); ++id) {
        LinkReach& r = term.reach[id];
        if (id < term.centre.size())
            for (unsigned a = 0; a < 3; ++a) r.c[a] = term.centre[id].c[a];
        const std::int64_t v = id < w.cells.size() ? w.cells[id].trackers.volume : 0;
        r.inv_less = v >= 2 ? 1.0 / static_cast<double>(v - 1) : INFINITY;
        r.inv_more = 1.0 / static_cast<double>(v + 1);
        if (id + 1 >= term.first.size()) continue;
        sum_reach(term, static_cast<CellId>(id));
        r.lambdas = 0.0;
        for (std::uint32_t e = term.first[id]; e < term.first[id + 1]; ++e) r.lambdas += term.ends[e].lambda;
    }
}

void links_after_flip(World& w, const Coords& c, CellId o, CellId n) {
    RegistryView view{&w};
    links_after_copy(w.terms.links, view, c, o, n);
}

void touching_pairs(const World& w, std::vector<std::pair<CellId, CellId>>& out) {
    out.clear();
    const LinkTerm& term = w.terms.links;
    // only cells of a type that some rule names
    std::vector<std::uint8_t> named;
    for (const LinkFormation& rule : term.rules)
        for (const CellType t : {rule.type_a, rule.type_b}) {
            if (named.size() <= t) named.resize(std::size_t{t} + 1, 0);
            named[t] = 1;
        }
    auto is_named = [&](CellId id) {
        const CellType t = w.cells[id].cell_type;
        return id != MEDIUM && t < named.size() && named[t] != 0;
    };
    // each cell's partners of a higher id, found once per pair of sites
    std::vector<std::vector<CellId>> partners(w.cells.size());
    const std::vector<CellId>& sites = w.lattice.sites;
    SiteList nb;
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const CellId a = sites[i];
        if (a >= w.cells.size() || !is_named(a)) continue;
        neighbors_into(w.lattice, i, nb);
        for (const std::size_t j : nb) {
            const CellId b = sites[j];
            if (j <= i || b == a || b >= w.cells.size() || !is_named(b)) continue;
            const CellId lo = std::min(a, b), hi = std::max(a, b);
            std::vector<CellId>& list = partners[lo];
            if (std::find(list.begin(), list.end(), hi) == list.end()) list.push_back(hi);
        }
    }
    for (std::size_t a = 0; a < partners.size(); ++a) {
        std::sort(partners[a].begin(), partners[a].end());
        for (const CellId b : partners[a]) out.emplace_back(static_cast<CellId>(a), b);
    }
}

void links_step(World& w) {
    LinkTerm& term = w.terms.links;
    bool changed = false;
    // links longer than their max_length break (a NaN distance does not)
    const std::size_t before = term.links.size();
    std::erase_if(term.links, [&](const Link& link) {
        return link.max_length < INFINITY && link_distance(w, link) > link.max_length;
    });
    changed = term.links.size() != before;
    // then touching pairs that a rule names get links
    if (!term.rules.empty()) {
        std::vector<std::pair<CellId, CellId>> pairs;
        touching_pairs(w, pairs);
        // per rule with a limit, each cell's links to cells of the rule's pair
        const std::size_t n = w.cells.size();
        std::vector<std::vector<std::uint32_t>> count(term.rules.size());
        auto rule_of = [&](CellType x, CellType y) -> std::size_t {
            const CellType lo = std::min(x, y), hi = std::max(x, y);
            for (std::size_t r = 0; r < term.rules.size(); ++r)
                if (term.rules[r].type_a == lo && term.rules[r].type_b == hi) return r;
            return term.rules.size();
        };
        for (std::size_t r = 0; r < term.rules.size(); ++r)
            if (term.rules[r].max_links != NO_LINK_LIMIT) count[r].assign(n, 0);
        for (const Link& link : term.links) {
            if (link.a >= n || link.b >= n) continue;
            const std::size_t r = rule_of(w.cells[link.a].cell_type, w.cells[link.b].cell_type);
            if (r == term.rules.size() || count[r].empty()) continue;
            count[r][link.a] += 1;
            count[r][link.b] += 1;
        }
        std::vector<Link> formed;
        for (const auto& [a, b] : pairs) {
            const std::size_t r = rule_of(w.cells[a].cell_type, w.cells[b].cell_type);
            if (r == term.rules.size()) continue;
            if (find_link(term, a, b) != term.links.end()) continue;
            const LinkFormation& rule = term.rules[r];
            if (!count[r].empty()) {
                if (count[r][a] >= rule.max_links || count[r][b] >= rule.max_links) continue;
                count[r][a] += 1;
                count[r][b] += 1;
            }
            formed.push_back({a, b, rule.lambda, rule.length, rule.max_length});
        }
        if (!formed.empty()) {
            const std::size_t middle = term.links.size();
            term.links.insert(term.links.end(), formed.begin(), formed.end());
            std::inplace_merge(term.links.begin(), term.links.begin() + static_cast<std::ptrdiff_t>(middle),
                               term.links.end(), link_before);
            changed = true;
        }
    }
    if (changed) rebuild(term, w.cells.size());
    // every frame about the centroid the step ended with
    if (term.wraps)
        for (std::size_t id = 1; id < w.cells.size() && id < term.window.size(); ++id) settle_frame(term, w.cells[id]);
    // every accepted copy keeps the caches of its two cells as this would
    // compute them, so they need it only where links or frames changed
    if (changed || term.wraps) refresh_link_cache(w, term);
}

void links_division(World& w, const std::vector<CellId>& parents, const std::vector<CellId>& daughters, bool share) {
    LinkTerm& term = w.terms.links;
    if (!term.on) return;
    rebuild(term, w.cells.size());
    sync_link_frames(w, term);
    if (!share) return;
    for (std::size_t k = 0; k < parents.size(); ++k) {
        const CellId p = parents[k], d = daughters[k];
        const LinkPoint at_p = point_of(w, p), at_d = point_of(w, d);
        bool moved = false;
        for (Link& link : term.links) {
            if (link.a != p && link.b != p) continue;
            const CellId other = link.a == p ? link.b : link.a;
            const LinkPoint q = point_of(w, other);
            if (!(link_gap(term, at_d, q) < link_gap(term, at_p, q))) continue;
            link.a = std::min(other, d);
            link.b = std::max(other, d);
            moved = true;
        }
        if (moved) {
            std::sort(term.links.begin(), term.links.end(), link_before);
            rebuild(term, w.cells.size());
            refresh_link_cache(w, term);
        }
    }
}

void links_removal(World& w, const std::vector<CellId>& ids) {
    LinkTerm& term = w.terms.links;
    if (term.links.empty()) return;
    std::vector<std::uint8_t> removed(w.cells.size(), 0);
    for (const CellId id : ids)
        if (id < removed.size()) removed[id] = 1;
    std::erase_if(term.links, [&](const Link& link) {
        return (link.a < removed.size() && removed[link.a]) || (link.b < removed.size() && removed[link.b]);
    });
    rebuild(term, w.cells.size());
    refresh_link_cache(w, term);
    refresh_terms(w);
}

// ---- checkpoint ----

void write(ByteWriter& out, const LinkTerm& term) {
    if (term.links.empty() && term.rules.empty()) return;
    out.u64(term.rules.size());
    for (const LinkFormation& rule : term.rules) {
        out.u16(rule.type_a);
        out.u16(rule.type_b);
        out.f64(rule.lambda);
        out.f64(rule.length);
        out.f64(rule.max_length);
        out.u32(rule.max_links);
    }
    out.u64(term.links.size());
    for (const Link& link : term.links) {
        out.u32(link.a);
        out.u32(link.b);
        out.f64(link.lambda);
        out.f64(link.length);
        out.f64(link.max_length);
    }
    // the frames, so that a restored run continues to the bit: up to the
    // last cell whose k is not zero (cells added since have none, and the
    // count does not depend on how far the per-cell lists have grown)
    std::size_t frames = 0;
    if (term.wraps)
        for (std::size_t id = 0; id < term.shift.size(); ++id)
            if (term.shift[id] != std::array<std::int64_t, 3>{}) frames = id + 1;
    out.u64(frames);
    for (std::size_t id = 0; id < frames; ++id)
        for (const std::int64_t k : term.shift[id]) out.i64(k);
}

void read(ByteReader& in, LinkTerm& term, const World& w) {
    const std::size_t n = w.cells.size();
    term = LinkTerm{};
    const std::size_t n_rules = in.count(32);
    for (std::size_t r = 0; r < n_rules; ++r) {
        LinkFormation rule{};
        rule.type_a = in.u16();
        rule.type_b = in.u16();
        rule.lambda = in.f64();
        rule.length = in.f64();
        rule.max_length = in.f64();
        rule.max_links = in.u32();
        if (rule.type_a > rule.type_b) damaged("a link rule's types out of order");
        if (!link_value(rule.lambda) || !link_value(rule.length) || !link_value(rule.max_length))
            damaged("a link rule's value is negative or NaN");
        for (const LinkFormation& seen : term.rules)
            if (seen.type_a == rule.type_a && seen.type_b == rule.type_b) damaged("two link rules for one type pair");
        term.rules.push_back(rule);
    }
    const std::size_t n_links = in.count(32);
    for (std::size_t k = 0; k < n_links; ++k) {
        Link link{};
        link.a = in.u32();
        link.b = in.u32();
        link.lambda = in.f64();
        link.length = in.f64();
        link.max_length = in.f64();
        if (link.a == MEDIUM || link.a >= link.b || link.b >= n) damaged("a link between cells that cannot be linked");
        if (!term.links.empty() && !link_before(term.links.back(), link)) damaged("links out of order");
        if (!link_value(link.lambda) || !link_value(link.length) || !link_value(link.max_length))
            damaged("a link's value is negative or NaN");
        term.links.push_back(link);
    }
    const std::size_t frames = in.count(24);
    if (frames > n) damaged("the link frames do not match the registry");
    std::vector<std::array<std::int64_t, 3>> shift(frames);
    for (std::array<std::int64_t, 3>& k : shift)
        for (std::int64_t& v : k) {
            v = in.i64();
            // |k| beyond the lattice's size cannot come from a step
            if (v < -static_cast<std::int64_t>(w.lattice.n_sites()) || v > static_cast<std::int64_t>(w.lattice.n_sites()))
                damaged("a link frame out of range");
        }
    rebuild(term, n);
    sync_link_frames(w, term);
    if (term.wraps) {
        shift.resize(n, std::array<std::int64_t, 3>{});
        term.shift = std::move(shift);
        for (std::size_t id = 1; id < n; ++id) settle_frame(term, w.cells[id]);
        refresh_link_cache(w, term);
    }
}

}  // namespace tessaly
