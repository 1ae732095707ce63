// Lattice geometry: neighbour order, boundaries, planar boxes, degenerate axes.
#include <array>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "error.hpp"
#include "lattice.hpp"

using namespace tessaly;

namespace {

Lattice box(std::size_t nx, std::size_t ny, std::size_t nz, bool periodic, std::uint8_t order) {
    return Lattice({nx, ny, nz}, {periodic, periodic, periodic}, Neighborhood(nz >= 2 ? 1 : 0, order));
}

std::vector<std::size_t> as_vector(const SiteList& list) { return {list.begin(), list.end()}; }

// The neighbour list straight from its definition (wrap with remainders,
// drop offsets that leave a closed axis), for comparing both paths against.
std::vector<std::size_t> reference(const Lattice& lat, std::size_t i) {
    const std::int64_t n[3] = {static_cast<std::int64_t>(lat.nx), static_cast<std::int64_t>(lat.ny),
                               static_cast<std::int64_t>(lat.nz)};
    const std::int64_t c[3] = {static_cast<std::int64_t>(i % lat.nx), static_cast<std::int64_t>((i / lat.nx) % lat.ny),
                               static_cast<std::int64_t>(i / (lat.nx * lat.ny))};
    std::vector<std::size_t> out;
    for (const Offset& o : lat.neighborhood.offsets) {
        const std::int64_t d[3] = {o.dx, o.dy, o.dz};
        std::int64_t p[3];
        bool keep = true;
        for (int a = 0; a < 3; ++a) {
            p[a] = c[a] + d[a];
            if (lat.periodic[a]) {
                p[a] = ((p[a] % n[a]) + n[a]) % n[a];
            } else if (p[a] < 0 || p[a] >= n[a]) {
                keep = false;
            }
        }
        if (keep) out.push_back(static_cast<std::size_t>(p[0] + n[0] * (p[1] + n[1] * p[2])));
    }
    return out;
}

std::vector<std::size_t> slow(const Lattice& lat, std::size_t i) {
    SiteList out;
    neighbors_slow(lat, i, out);
    return as_vector(out);
}

}  // namespace

int main() {
    // neighbourhood sizes and the order of the offsets
    const std::size_t sizes3d[] = {0, 6, 18, 26, 26};
    const std::size_t sizes2d[] = {0, 4, 8, 8, 8};
    for (std::uint8_t k = 0; k <= 4; ++k) {
        CHECK_EQ(Neighborhood(1, k).offsets.size(), sizes3d[k]);
        CHECK_EQ(Neighborhood(0, k).offsets.size(), sizes2d[k]);
    }
    {
        const std::vector<Offset>& o = Neighborhood(1, 1).offsets;
        const std::int64_t expected[6][3] = {{0, 0, -1}, {0, -1, 0}, {-1, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        for (int k = 0; k < 6; ++k)
            CHECK(o[k].dx == expected[k][0] && o[k].dy == expected[k][1] && o[k].dz == expected[k][2]);
        const std::vector<Offset>& o2 = Neighborhood(1, 2).offsets;
        const std::int64_t first[5][3] = {{0, -1, -1}, {-1, 0, -1}, {0, 0, -1}, {1, 0, -1}, {0, 1, -1}};
        for (int k = 0; k < 5; ++k)
            CHECK(o2[k].dx == first[k][0] && o2[k].dy == first[k][1] && o2[k].dz == first[k][2]);
        CHECK(o2[17].dx == 0 && o2[17].dy == 1 && o2[17].dz == 1);
    }

    // site 0 of a 3×3×3 periodic box, order 1: −z, −y, −x, +x, +y, +z
    CHECK((as_vector(neighbors(box(3, 3, 3, true, 1), 0)) == std::vector<std::size_t>{18, 6, 2, 1, 3, 9}));

    // noflux counts: corner 3, edge 4, face 5, interior 6; order 3 corner 7
    {
        const Lattice lat = box(4, 4, 4, false, 1);
        CHECK_EQ(neighbors(lat, 0).size(), 3u);
        CHECK_EQ(neighbors(lat, 1).size(), 4u);
        CHECK_EQ(neighbors(lat, 1 + 4).size(), 5u);
        CHECK_EQ(neighbors(lat, 1 + 4 + 16).size(), 6u);
        CHECK_EQ(neighbors(box(4, 4, 4, false, 3), 0).size(), 7u);
    }
    // periodic: every site has the full neighbourhood
    for (std::uint8_t k = 1; k <= 3; ++k) {
        const Lattice lat = box(4, 3, 5, true, k);
        for (std::size_t i = 0; i < lat.n_sites(); ++i) CHECK_EQ(neighbors(lat, i).size(), sizes3d[k]);
    }
    // planar: orders 2 and 3 both give 8, faces never step in z
    {
        const Lattice lat = box(5, 5, 1, true, 3);
        CHECK_EQ(neighbors(lat, 12).size(), 8u);
        CHECK_EQ(face_neighbors(lat, 12).size(), 4u);
        CHECK_EQ(neighbors(box(5, 5, 1, true, 1), 12).size(), 4u);
    }
    // nz = 2 periodic: the z−1 and z+1 steps reach the same plane
    {
        const Lattice lat = box(3, 3, 2, true, 1);
        const auto nb = as_vector(neighbors(lat, 4));
        CHECK(nb.front() == 4 + 9 && nb.back() == 4 + 9);
        const FaceList faces = face_neighbors(lat, 4);
        CHECK(faces.size() == 6 && faces[4] == 13 && faces[5] == 13);
    }
    // nx = 1 periodic: the ±x steps return the site itself
    {
        const Lattice lat = box(1, 3, 1, true, 1);
        CHECK((as_vector(neighbors(lat, 1)) == std::vector<std::size_t>{0, 1, 1, 2}));
    }
    // order 0: no neighbours at all
    CHECK(neighbors(box(3, 3, 3, true, 0), 13).empty());

    // face neighbours list x−1, x+1, y−1, y+1, z−1, z+1; noflux drops outside entries
    {
        const Lattice lat = box(3, 3, 3, false, 1);
        const FaceList f = face_neighbors(lat, 13);
        CHECK((std::vector<std::size_t>(f.begin(), f.end()) == std::vector<std::size_t>{12, 14, 10, 16, 4, 22}));
        CHECK_EQ(face_neighbors(lat, 0).size(), 3u);
    }

    // the interior shortcut and the boundary path agree with the definition everywhere
    for (const bool periodic : {false, true})
        for (std::uint8_t k = 0; k <= 3; ++k)
            for (const auto& d : {std::vector<std::size_t>{5, 4, 3}, {6, 5, 1}, {2, 7, 3}, {1, 4, 4}}) {
                const Lattice lat = box(d[0], d[1], d[2], periodic, k);
                for (std::size_t i = 0; i < lat.n_sites(); ++i) {
                    CHECK(as_vector(neighbors(lat, i)) == reference(lat, i));
                    CHECK(slow(lat, i) == reference(lat, i));
                }
            }

    // on a box periodic along every axis each list has one entry per offset,
    // and entry k can be found alone (repeats and the site itself included)
    {
        const std::size_t shapes[][3] = {{3, 3, 3}, {1, 4, 2}, {2, 2, 5}, {5, 4, 1}, {6, 1, 1}};
        bool all_equal = true;
        for (const auto& d : shapes)
            for (std::uint8_t order = 1; order <= 3; ++order) {
                const Lattice lat = box(d[0], d[1], d[2], true, order);
                for (std::size_t i = 0; i < lat.n_sites(); ++i) {
                    const std::vector<std::size_t> list = slow(lat, i);
                    all_equal = all_equal && list.size() == lat.neighborhood.offsets.size();
                    for (std::size_t k = 0; k < list.size(); ++k)
                        all_equal = all_equal && periodic_neighbor(lat, i, k) == list[k];
                }
            }
        CHECK(all_equal);
    }

    // coords inverts the site index; checked access; empty boxes
    {
        const Lattice lat = box(4, 3, 2, false, 1);
        const Coords c = coords(lat, 1 + 4 * (2 + 3 * 1));
        CHECK(c.x == 1 && c.y == 2 && c.z == 1);
        Lattice copy = lat;
        CHECK(tessaly_test::throws<EngineError>([&] { set(copy, 24, 1); }, "out of range"));
        CHECK(tessaly_test::throws<EngineError>([&] { (void)get(lat, 24); }, "out of range"));
        // a site far beyond the box would overflow the coordinate arithmetic
        CHECK(tessaly_test::throws<EngineError>([&] { (void)neighbors(lat, SIZE_MAX / 2); }, "out of range"));
        CHECK(tessaly_test::throws<EngineError>([&] { (void)face_neighbors(lat, 24); }, "out of range"));
        const Lattice empty = box(0, 3, 3, false, 1);
        CHECK_EQ(empty.n_sites(), 0u);
        CHECK(tessaly_test::throws<EngineError>([&] { (void)coords(empty, 0); }));
    }
    // quotient by multiplication equals division for every a, d below 2^32:
    // the extremes and a sweep of both, and coords over whole boxes
    {
        bool all_equal = true;
        std::uint64_t h = 1;
        for (int k = 0; k < 200000; ++k) {
            h = h * 6364136223846793005ULL + 1442695040888963407ULL;
            const std::size_t d = k < 100 ? 2 + k : k < 200 ? 0xFFFFFFFFu - (k - 100) : 2 + (h >> 33) % (k % 2 ? 300 : 0xFFFFFFFDu);
            const std::size_t a = k % 3 == 0 ? 0xFFFFFFFFu - (h & 7) : k % 3 == 1 ? (h >> 32) : (h >> 32) % (4 * d);
            all_equal = all_equal && quotient(a, d, quotient_inverse(d, 1)) == a / d;
        }
        CHECK(all_equal);
        CHECK(quotient_inverse(1, 8) == 0 && quotient_inverse(7, std::size_t{1} << 32) == 0);
        for (const auto& dims : {std::array<std::size_t, 3>{7, 5, 3}, {1, 9, 4}, {256, 1, 3}, {13, 17, 1}}) {
            const Lattice lat = box(dims[0], dims[1], dims[2], false, 1);
            for (std::size_t i = 0; i < lat.n_sites(); ++i) {
                const Coords c = coords(lat, i);
                all_equal = all_equal && c.x == i % dims[0] && c.y == i / dims[0] % dims[1] && c.z == i / dims[0] / dims[1];
            }
        }
        CHECK(all_equal);
    }
    // a box too large to address is refused at construction
    CHECK(tessaly_test::throws<std::bad_alloc>([] { box(std::size_t{1} << 40, std::size_t{1} << 40, 2, false, 1); }));
    return tessaly_test::finish();
}
