// Centroids on periodic boxes and their tracks, the Act model, persistent
// motion and frozen cells, on hand-painted worlds with hand-derived numbers.
#include <cmath>
#include <vector>

#include "check.hpp"
#include "world.hpp"

using namespace tessaly;

namespace {

World make_world(std::size_t nx, std::size_t ny, bool periodic, std::uint8_t order) {
    return World(Lattice({nx, ny, 1}, {periodic, periodic, periodic}, Neighborhood(0, order)), 1.0);
}

void paint_row(World& w, CellId id, std::size_t y, std::initializer_list<std::size_t> xs) {
    for (const std::size_t x : xs) paint(w, x + w.lattice.nx * y, id);
}

bool near(double a, double b) { return std::fabs(a - b) < 1e-12; }

}  // namespace

int main() {
    // centroids: cells straddling the periodic x face; the wrapped mean would be wrong
    {
        World w = make_world(6, 4, true, 1);
        const CellId a = add_cell(w, 1, 3.0, 1.0, 0.0, 0.0);
        const CellId b = add_cell(w, 1, 4.0, 1.0, 0.0, 0.0);
        paint_row(w, a, 1, {5, 0, 1});     // unwrapped −1, 0, 1: mean 0
        paint_row(w, b, 2, {4, 5, 0, 1});  // −2, −1, 0, 1: mean −0.5, wrapped 5.5
        const std::vector<Vec3> c = centroids(w, nullptr);
        CHECK(c[a] == (Vec3{0.0, 1.0, 0.0}));
        CHECK(c[b] == (Vec3{5.5, 2.0, 0.0}));

        // tracks: seven moves of +1 along x go round the box and read 7
        Tracks tracks;
        track_step(w, tracks);
        CHECK(tracks.position[a] == (Vec3{0.0, 0.0, 0.0}));
        for (std::size_t k = 1; k <= 7; ++k) {
            for (std::size_t x = 0; x < 6; ++x) paint(w, x + 6, MEDIUM);
            paint_row(w, a, 1, {(5 + k) % 6, k % 6, (1 + k) % 6});
            track_step(w, tracks);
        }
        CHECK(tracks.position[a] == (Vec3{7.0, 0.0, 0.0}));
        CHECK(centroids(w, &tracks)[a] == (Vec3{1.0, 1.0, 0.0}));
        CHECK(tracks.position[b] == (Vec3{0.0, 0.0, 0.0}));
        // a vanished cell keeps its track and starts a new reference
        for (std::size_t x = 0; x < 6; ++x) paint(w, x + 6, MEDIUM);
        track_step(w, tracks);
        CHECK(!tracks.has_reference[a] && tracks.position[a][0] == 7.0);
    }

    // Act: a row 0..4, cell a (type 1) on sites 1 and 2 with activities 4 and 9;
    // λ_act 6, max_act 3: λ/max = 2
    {
        World w = make_world(5, 1, false, 1);
        const CellId a = add_cell(w, 1, 2.0, 1.0, 0.0, 0.0);
        paint_row(w, a, 0, {1, 2});
        set_act(w, 1, 6.0, 3);
        ActTerm& act = w.terms.act;
        CHECK(act.on && w.terms.energy_on && w.terms.steps_on);
        act.activity = {0, 4, 9, 0, 0};
        // extension into the medium at 3: 2·(0 − √(9·4)); retraction from 1: 2·(√(4·9) − 0)
        CHECK(delta_act(w, 3, 2, a) == -12.0);
        CHECK(delta_act(w, 1, 0, MEDIUM) == 12.0);
        set_act_mean(w, true);
        CHECK(delta_act(w, 3, 2, a) == -13.0);  // mean (9 + 4)/2
        set_act_mean(w, false);
        act.activity[1] = 0;  // one zero makes the geometric mean 0
        CHECK(delta_act(w, 3, 2, a) == 0.0);
        act_after_copy(act, 3, a, 1);
        act_after_copy(act, 2, MEDIUM, 0);
        CHECK(act.activity == (std::vector<std::uint8_t>{0, 0, 0, 3, 0}));
        act_decay(act);
        act_decay(act);
        CHECK(act.activity == (std::vector<std::uint8_t>{0, 0, 0, 1, 0}));
        set_act(w, 1, 6.0, 0);  // max_act 0: the term is off
        CHECK(!act.on && !w.terms.energy_on && !w.terms.steps_on && delta_act(w, 3, 2, a) == 0.0);
    }

    // persistence: ΔH_dir across the periodic faces of a 5×5 box, u = (0.6, 0.8, 0), λ 2
    {
        World w = make_world(5, 5, true, 2);
        const CellId a = add_cell(w, 1, 2.0, 1.0, 0.0, 0.0);
        set_persistence(w, 1, 2.0, 2, 0.5);
        PersistenceTerm& p = w.terms.persistence;
        CHECK(p.on && p.ring == 3 && tracking_on(w.terms));
        Tracks tracks;
        fit_tracks(w, tracks);
        persistence_first_directions(p, w);  // drawn before the first step, which it prices
        CHECK(p.has_direction[a] && p.age[a] == 0);
        persistence_step(p, w, tracks);
        CHECK(p.has_direction[a] && near(std::hypot(p.direction[a][0], p.direction[a][1]), 1.0));
        p.direction[a] = {0.6, 0.8, 0.0};
        // target (4, 0), source (0, 0): dx = −1 by minimum image
        CHECK(delta_persistence(w, 4, 0, a) == 1.2);
        CHECK(near(delta_persistence(w, 1 + 5 * 4, 0, a), 0.4));  // d = (1, −1)
        CHECK(delta_persistence(w, 4, 0, MEDIUM) == 0.0);

        // the update: ages 2 keeps u; age 3 turns to d̂ = (0, 1) halfway: (1, 1)/√2
        p.direction[a] = {1.0, 0.0, 0.0};
        tracks.position[a] = {0.0, 1.0, 0.0};
        persistence_step(p, w, tracks);
        CHECK(p.direction[a] == (Vec3{1.0, 0.0, 0.0}));
        tracks.position[a] = {0.0, 3.0, 0.0};
        persistence_step(p, w, tracks);  // d = (0, 3) − (0, 0)
        CHECK(near(p.direction[a][0], std::sqrt(0.5)) && near(p.direction[a][1], std::sqrt(0.5)));
        // d = (0, 1) − (0, 1) = 0: a new random direction
        tracks.position[a] = {0.0, 1.0, 0.0};
        const Vec3 before = p.direction[a];
        persistence_step(p, w, tracks);
        CHECK(p.direction[a] != before && near(std::hypot(p.direction[a][0], p.direction[a][1]), 1.0));
        // the draws come from the seeded stream alone
        PersistenceTerm q = p;
        q.has_direction[a] = 0;
        seed_persistence(q, 5);
        PersistenceTerm r = q;
        persistence_first_directions(q, w);
        persistence_first_directions(r, w);
        CHECK(q.direction[a] == r.direction[a]);
    }

    // frozen cells
    {
        World w = make_world(2, 2, false, 1);
        set_cell_frozen(w, 3, true);
        const FrozenCells& f = w.terms.frozen;
        CHECK(f.on && frozen_blocks(f, 3, 0) && frozen_blocks(f, 1, 3) && !frozen_blocks(f, 1, 9));
        set_cell_frozen(w, 3, false);
        CHECK(!f.on && !frozen_blocks(f, 3, 0));
    }
    return tessaly_test::finish();
}
