#include "SecurityAuthority.hpp"

#include <Security/Authorization.h>
#include <cstring>
#include <string>
#include <tuple>

namespace action_service {

namespace {

AuthorizationRef authorizationFrom(Authority::Reference reference) {
    return static_cast<AuthorizationRef>(reference);
}

} // namespace

Authority::Status SecurityAuthority::createFromExternalForm(const ExternalForm& form, Reference& reference) {
    AuthorizationExternalForm external;
    static_assert(sizeof(external.bytes) == std::tuple_size_v<ExternalForm>);
    std::memcpy(external.bytes, form.data(), form.size());
    AuthorizationRef authorization = nullptr;
    const OSStatus status = AuthorizationCreateFromExternalForm(&external, &authorization);
    reference = const_cast<void*>(static_cast<const void*>(authorization));
    return status;
}

Authority::Status SecurityAuthority::copyRights(Reference reference, std::string_view rightName,
                                                std::uint32_t flags) {
    // The right's name as a zero-terminated string.
    const std::string name(rightName);
    AuthorizationItem item{name.c_str(), 0, nullptr, 0};
    const AuthorizationRights rights{1, &item};
    return AuthorizationCopyRights(authorizationFrom(reference), &rights, nullptr, flags, nullptr);
}

Authority::Status SecurityAuthority::free(Reference reference, std::uint32_t flags) {
    return AuthorizationFree(authorizationFrom(reference), flags);
}

} // namespace action_service
