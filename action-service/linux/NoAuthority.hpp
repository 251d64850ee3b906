#pragma once

#include "platform/Authority.hpp"

namespace action_service {

// Linux has no authority that could vouch for an external form: every one is refused, so a
// privileged request never passes the check.
class NoAuthority final : public Authority {
public:
    static constexpr Status refused = -1;

    Status createFromExternalForm(const ExternalForm& form, Reference& reference) override;
    Status copyRights(Reference reference, std::string_view rightName, std::uint32_t flags) override;
    Status free(Reference reference, std::uint32_t flags) override;
};

} // namespace action_service
