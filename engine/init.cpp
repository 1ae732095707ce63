#include "init.hpp"

#include "error.hpp"
#include "world.hpp"

namespace tessaly {

std::unordered_map<std::uint32_t, CellId> seed_from_labels(World& w, const std::vector<std::uint32_t>& labels,
                                                           const std::unordered_map<std::uint32_t, CellType>& types,
                                                           CellType default_type, double target_volume,
                                                           double lambda_volume) {
    if (labels.size() != w.lattice.n_sites()) fail("labels length must equal n_sites");
    std::unordered_map<std::uint32_t, CellId> ids;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const std::uint32_t label = labels[i];
        if (label == 0) continue;  // the site keeps what it holds
        auto found = ids.find(label);
        if (found == ids.end()) {
            const auto typed = types.find(label);
            const CellType t = typed == types.end() ? default_type : typed->second;
            found = ids.emplace(label, add_cell(w, t, target_volume, lambda_volume, 0.0, 0.0)).first;
        }
        w.lattice.sites[i] = found->second;
    }
    return ids;
}

}  // namespace tessaly
