#pragma once

#include "platform/Authority.hpp"

namespace action_service {

// Authorization Services of the Security framework, call for call.
class SecurityAuthority final : public Authority {
public:
    Status createFromExternalForm(const ExternalForm& form, Reference& reference) override;
    Status copyRights(Reference reference, std::string_view rightName, std::uint32_t flags) override;
    Status free(Reference reference, std::uint32_t flags) override;
};

} // namespace action_service
