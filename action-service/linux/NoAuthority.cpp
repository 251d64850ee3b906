#include "NoAuthority.hpp"

namespace action_service {

Authority::Status NoAuthority::createFromExternalForm(const ExternalForm&, Reference& reference) {
    reference = nullptr;
    return refused;
}

Authority::Status NoAuthority::copyRights(Reference, std::string_view, std::uint32_t) {
    return refused;
}

Authority::Status NoAuthority::free(Reference, std::uint32_t) {
    return 0;
}

} // namespace action_service
