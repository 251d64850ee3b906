#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace action_service {

// The three Authorization Services calls the authorization check makes, with their statuses
// (0 is success). The Linux authority accepts no external form: the check fails closed.
class Authority {
public:
    virtual ~Authority() = default;

    using Reference = void*; // opaque; nullptr when none was obtained
    using ExternalForm = std::array<std::uint8_t, 32>;
    using Status = std::int32_t;

    virtual Status createFromExternalForm(const ExternalForm& form, Reference& reference) = 0;
    // One right named rightName (value length 0, no value, item flags 0), no environment,
    // the given flags, no place for granted rights.
    virtual Status copyRights(Reference reference, std::string_view rightName, std::uint32_t flags) = 0;
    virtual Status free(Reference reference, std::uint32_t flags) = 0;
};

} // namespace action_service
