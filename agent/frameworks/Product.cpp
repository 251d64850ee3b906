#include "frameworks/Gantry.hpp"

namespace gantry {

const Product& Product::main() {
    static const Product product = [] {
        const std::string scheme = QUORVEL_JOB_SCHEME;
        return Product{scheme.empty() ? std::nullopt : std::optional<std::string>(scheme)};
    }();
    return product;
}

} // namespace gantry
