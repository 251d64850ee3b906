#include "frameworks/Mortar.hpp"

namespace mortar {

void Interface::notification(const std::string& title, const std::string& text, const std::string& subtitle,
                             const std::optional<std::string>& identifier) const {
    center_.deliver(agent::UserNotification{title, text, subtitle, identifier});
}

} // namespace mortar
