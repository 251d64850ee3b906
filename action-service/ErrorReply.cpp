#include "Action.hpp"
#include "Controller.hpp"

namespace action_service {

Dictionary makeErrorReply(const PlatformError& error) {
    Dictionary inner{
        {std::string(Action::ErrorKey::domain), Value(error.domain)},
        {std::string(Action::ErrorKey::code), Value(error.code)},
        {std::string(Action::ErrorKey::description), Value(error.description)},
        {std::string(Action::ErrorKey::suggestion), Value(error.suggestion)},
    };
    return Dictionary{{std::string(Action::ResultKey::error), Value(std::move(inner))}};
}

Dictionary makeErrorReply(Action::ErrorCode code) {
    Dictionary inner{
        {std::string(Action::ErrorKey::domain), Value(errorDomain)},
        {std::string(Action::ErrorKey::code), Value(static_cast<std::int64_t>(code))},
    };
    return Dictionary{{std::string(Action::ResultKey::error), Value(std::move(inner))}};
}

} // namespace action_service
