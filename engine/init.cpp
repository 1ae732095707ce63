#include "init.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "energy.hpp"
#include "error.hpp"
#include "world.hpp"

namespace tessaly {

void record_type(World& w, CellType t) { w.setup.max_type = std::max(w.setup.max_type, t); }

void record_contact(World& w, CellType a, CellType b, double j) {
    record_type(w, a);
    record_type(w, b);
    w.setup.pending_contacts.push_back({a, b, j});
}

void finish_setup(World& w) {
    // side max_type + 1 in a width that cannot wrap: 65536 types when max_type is 65535
    ContactMatrix contact(static_cast<std::size_t>(w.setup.max_type) + 1);
    for (const PendingContact& c : w.setup.pending_contacts) set_pair(contact, c.type_a, c.type_b, c.j);
    // everything that can fail runs before the table is installed
    recompute_trackers(w);
    set_contact_matrix(w, std::move(contact));
}

namespace {

bool box_empty(const SiteBox& box) {
    return box.lo[0] >= box.hi[0] || box.lo[1] >= box.hi[1] || box.lo[2] >= box.hi[2];
}

}  // namespace

bool box_fits(const Lattice& lattice, const SiteBox& box) {
    return box_empty(box) || (box.hi[0] <= lattice.nx && box.hi[1] <= lattice.ny && box.hi[2] <= lattice.nz);
}

void paint_box(World& w, const SiteBox& box, CellId id) {
    if (id >= w.cells.size()) unregistered(id);
    // an empty box may name any range; no row of it is walked
    if (box_empty(box)) return;
    // a box reaching outside would wrap into other rows or past the array
    if (!box_fits(w.lattice, box)) fail("box reaches outside the lattice");
    const std::size_t nx = w.lattice.nx, ny = w.lattice.ny;
    for (std::size_t z = box.lo[2]; z < box.hi[2]; ++z)
        for (std::size_t y = box.lo[1]; y < box.hi[1]; ++y)
            for (std::size_t x = box.lo[0]; x < box.hi[0]; ++x) paint(w, x + nx * (y + ny * z), id);
}

namespace {

// Ids by label: a table indexed by label for labels up to a few times the
// number of sites (grown as larger labels come), a hash map beyond.
class LabelIds {
public:
    explicit LabelIds(std::size_t n_sites) : limit_(2 * std::uint64_t{n_sites} + 65536) {}

    // The id of `label`, creating its cell on first sight.
    template <typename Create>
    [[gnu::noinline]] CellId operator()(std::uint32_t label, Create create) {
        if (label < limit_) {
            if (label >= table_.size())
                table_.resize(std::min<std::uint64_t>(std::max<std::uint64_t>(label + 1, 2 * table_.size()), limit_),
                              MEDIUM);
            CellId& slot = table_[label];
            if (slot == MEDIUM) slot = create(label);  // a created cell is never the medium
            return slot;
        }
        auto found = map_.find(label);
        if (found == map_.end()) found = map_.emplace(label, create(label)).first;
        return found->second;
    }

private:
    std::uint64_t limit_;
    std::vector<CellId> table_;
    std::unordered_map<std::uint32_t, CellId> map_;
};

// The seeding walk shared by lists and arrays: `each(f)` calls f(site, label)
// for every site in site order. Returns (label, id) in order of creation.
template <typename Each>
std::vector<std::pair<std::uint32_t, CellId>> seed_walk(World& w, Each each,
                                                    const std::unordered_map<std::uint32_t, CellType>& types,
                                                    CellType default_type, double target_volume,
                                                    double lambda_volume) {
    std::vector<std::pair<std::uint32_t, CellId>> created;
    const auto create = [&](std::uint32_t label) {
        const auto typed = types.find(label);
        const CellType t = typed == types.end() ? default_type : typed->second;
        const CellId id = add_cell(w, t, target_volume, lambda_volume, 0.0, 0.0);
        created.emplace_back(label, id);
        return id;
    };
    LabelIds ids(w.lattice.n_sites());
    CellId* sites = w.lattice.sites.data();
    w.trackers_exact = false;  // the sites are written directly
    w.neighbors.on = false;  // built again when next read
    // labels come in runs along rows: the lookup runs when the label changes
    std::uint32_t last_label = 0;
    CellId last_id = MEDIUM;
    each([&](std::size_t i, std::uint32_t label) {
        if (label != last_label) {
            last_label = label;
            if (label != 0) last_id = ids(label, create);
        }
        if (label != 0) sites[i] = last_id;  // label 0: the site keeps what it holds
    });
    return created;
}

template <typename T>
T load(const unsigned char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// The same elements with adjacent axes merged where one steps over the other
// exactly (a C-contiguous array becomes one axis), so that the inner loop is long.
LabelArray merged_axes(const LabelArray& a) {
    LabelArray m{a.data, a.item_size, a.is_signed, {}, {}};
    for (std::size_t axis = 0; axis < a.shape.size(); ++axis) {
        if (a.shape[axis] == 1) continue;  // steps nowhere
        if (!m.shape.empty() &&
            m.strides.back() == a.strides[axis] * static_cast<std::ptrdiff_t>(a.shape[axis])) {
            m.shape.back() *= a.shape[axis];
            m.strides.back() = a.strides[axis];
        } else {
            m.shape.push_back(a.shape[axis]);
            m.strides.push_back(a.strides[axis]);
        }
    }
    return m;
}

// Calls row(pointer, count, step in bytes, flat index of the first) for every
// run of the innermost axis, in C order.
template <typename Row>
void for_each_row(const LabelArray& array, Row row_visit) {
    if (element_count(array) == 0) return;
    const LabelArray a = merged_axes(array);
    const std::size_t axes = a.shape.size();
    if (axes == 0) {
        row_visit(a.data, std::size_t{1}, std::ptrdiff_t{0}, std::size_t{0});
        return;
    }
    const std::size_t inner = a.shape[axes - 1];
    const std::size_t count = element_count(a);
    std::vector<std::size_t> index(axes - 1, 0);
    const unsigned char* row = a.data;
    for (std::size_t flat = 0; flat < count; flat += inner) {
        row_visit(row, inner, a.strides[axes - 1], flat);
        // the next row: an odometer over the outer axes
        for (std::size_t axis = axes - 1; axis-- > 0;) {
            row += a.strides[axis];
            if (++index[axis] < a.shape[axis]) break;
            row -= a.strides[axis] * static_cast<std::ptrdiff_t>(a.shape[axis]);
            index[axis] = 0;
        }
    }
}

// Calls visit(flat index, element) for every element of the array in C order.
template <typename T, typename Visit>
void for_each_element(const LabelArray& array, Visit visit) {
    for_each_row(array, [&](const unsigned char* row, std::size_t n, std::ptrdiff_t step, std::size_t flat) {
        if (step == static_cast<std::ptrdiff_t>(sizeof(T))) {
            for (std::size_t k = 0; k < n; ++k) visit(flat + k, load<T>(row + k * sizeof(T)));
        } else {
            for (std::size_t k = 0; k < n; ++k) visit(flat + k, load<T>(row + static_cast<std::ptrdiff_t>(k) * step));
        }
    });
}

// Runs body<T>() for the element type of the array.
template <typename Body>
decltype(auto) by_element_type(const LabelArray& a, Body body) {
    switch (a.item_size * 2 + (a.is_signed ? 1 : 0)) {
    case 2: return body(std::uint8_t{});
    case 3: return body(std::int8_t{});
    case 4: return body(std::uint16_t{});
    case 5: return body(std::int16_t{});
    case 8: return body(std::uint32_t{});
    case 9: return body(std::int32_t{});
    case 16: return body(std::uint64_t{});
    case 17: return body(std::int64_t{});
    default: fail("labels: elements of " + std::to_string(a.item_size) + " bytes are not integers this engine reads");
    }
}

bool overlaps(const LabelArray& a, const std::vector<CellId>& sites) {
    // the bytes the array can reach, from its lowest to its highest element
    const unsigned char* low = a.data;
    const unsigned char* high = a.data + a.item_size;
    for (std::size_t axis = 0; axis < a.shape.size(); ++axis) {
        if (a.shape[axis] == 0) return false;
        const std::ptrdiff_t reach = a.strides[axis] * static_cast<std::ptrdiff_t>(a.shape[axis] - 1);
        (reach < 0 ? low : high) += reach;
    }
    const auto* begin = reinterpret_cast<const unsigned char*>(sites.data());
    const auto* end = begin + sites.size() * sizeof(CellId);
    return low < end && begin < high;
}

}  // namespace

std::unordered_map<std::uint32_t, CellId> seed_from_labels(World& w, const std::vector<std::uint32_t>& labels,
                                                           const std::unordered_map<std::uint32_t, CellType>& types,
                                                           CellType default_type, double target_volume,
                                                           double lambda_volume) {
    if (labels.size() != w.lattice.n_sites()) fail("labels length must equal n_sites");
    const auto each = [&](auto visit) {
        for (std::size_t i = 0; i < labels.size(); ++i) visit(i, labels[i]);
    };
    const auto created = seed_walk(w, each, types, default_type, target_volume, lambda_volume);
    return {created.begin(), created.end()};
}

std::size_t element_count(const LabelArray& labels) {
    std::size_t count = 1;
    for (const std::size_t n : labels.shape) count *= n;
    return count;
}

LabelRange label_range(const LabelArray& labels) {
    if (element_count(labels) == 0) fail("labels: the array is empty");
    return by_element_type(labels, [&](auto zero) {
        using T = decltype(zero);
        T low = std::numeric_limits<T>::max(), high = std::numeric_limits<T>::min();
        for_each_row(labels, [&](const unsigned char* row, std::size_t n, std::ptrdiff_t step, std::size_t) {
            // separate accumulators in a plain loop, so that a contiguous row is scanned in vector registers
            T lo = low, hi = high;
            if (step == static_cast<std::ptrdiff_t>(sizeof(T))) {
                for (std::size_t k = 0; k < n; ++k) {
                    const T v = load<T>(row + k * sizeof(T));
                    lo = v < lo ? v : lo;
                    hi = v > hi ? v : hi;
                }
            } else {
                for (std::size_t k = 0; k < n; ++k) {
                    const T v = load<T>(row + static_cast<std::ptrdiff_t>(k) * step);
                    lo = v < lo ? v : lo;
                    hi = v > hi ? v : hi;
                }
            }
            low = lo;
            high = hi;
        });
        if constexpr (std::is_signed_v<T>)
            return LabelRange{static_cast<std::int64_t>(low), static_cast<std::uint64_t>(std::max<T>(high, 0)), low < 0};
        else
            return LabelRange{static_cast<std::int64_t>(std::min<std::uint64_t>(low, INT64_MAX)), high, false};
    });
}

bool labels_fit_u32(const LabelArray& labels) {
    return by_element_type(labels, [&](auto zero) {
        using T = decltype(zero);
        if constexpr (std::is_unsigned_v<T> && sizeof(T) <= 4) {
            return true;
        } else {
            // one OR over the bits: the sign bit shows a negative element, the high half one beyond 32 bits
            using U = std::make_unsigned_t<T>;
            U bits = 0;
            for_each_row(labels, [&](const unsigned char* row, std::size_t n, std::ptrdiff_t step, std::size_t) {
                U acc = 0;
                if (step == static_cast<std::ptrdiff_t>(sizeof(U))) {
                    for (std::size_t k = 0; k < n; ++k) acc |= load<U>(row + k * sizeof(U));
                } else {
                    for (std::size_t k = 0; k < n; ++k) acc |= load<U>(row + static_cast<std::ptrdiff_t>(k) * step);
                }
                bits |= acc;
            });
            if (std::is_signed_v<T> && (bits >> (8 * sizeof(U) - 1)) != 0) return false;
            return sizeof(U) <= 4 || (static_cast<std::uint64_t>(bits) >> 32) == 0;
        }
    });
}

void copy_labels(const LabelArray& labels, std::uint32_t* out) {
    if (!labels_fit_u32(labels)) fail("labels: every label must lie in [0, 4294967295]");
    by_element_type(labels, [&](auto zero) {
        using T = decltype(zero);
        for_each_element<T>(labels, [&](std::size_t i, T v) { out[i] = static_cast<std::uint32_t>(v); });
    });
}

std::vector<std::pair<std::uint32_t, CellId>> seed_from_labels(
    World& w, const LabelArray& labels, const std::unordered_map<std::uint32_t, CellType>& types, CellType default_type,
    double target_volume, double lambda_volume) {
    // the rule of the list form: one label per site, an empty array included
    if (element_count(labels) != w.lattice.n_sites()) fail("labels length must equal n_sites");
    if (w.lattice.n_sites() == 0) return {};
    if (!labels_fit_u32(labels)) fail("labels: every label must lie in [0, 4294967295]");
    if (overlaps(labels, w.lattice.sites)) {
        // the same elements in C order: the array is the site array or a view of it
        std::vector<std::uint32_t> flat(w.lattice.n_sites());
        by_element_type(labels, [&](auto zero) {
            using T = decltype(zero);
            for_each_element<T>(labels, [&](std::size_t i, T v) { flat[i] = static_cast<std::uint32_t>(v); });
        });
        const auto each = [&](auto visit) {
            for (std::size_t i = 0; i < flat.size(); ++i) visit(i, flat[i]);
        };
        return seed_walk(w, each, types, default_type, target_volume, lambda_volume);
    }
    return by_element_type(labels, [&](auto zero) {
        using T = decltype(zero);
        const auto each = [&](auto visit) {
            for_each_element<T>(labels, [&](std::size_t i, T v) { visit(i, static_cast<std::uint32_t>(v)); });
        };
        return seed_walk(w, each, types, default_type, target_volume, lambda_volume);
    });
}

}  // namespace tessaly
