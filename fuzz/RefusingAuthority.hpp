#pragma once

#include "platform/Authority.hpp"

namespace fuzz_support {

// An authority that grants nothing: every external form is refused, as on a system without one.
class RefusingAuthority final : public action_service::Authority {
public:
    Status createFromExternalForm(const ExternalForm&, Reference& reference) override {
        reference = nullptr;
        return -60008; // errAuthorizationInvalidRef
    }
    Status copyRights(Reference, std::string_view, std::uint32_t) override { return -60005; }
    Status free(Reference, std::uint32_t) override { return 0; }
};

} // namespace fuzz_support
