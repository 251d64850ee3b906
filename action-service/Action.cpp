#include "Action.hpp"

namespace action_service {

std::optional<Action::Kind> Action::kindFromRaw(std::int64_t raw) {
    if (raw < 0 || raw > 9) {
        return std::nullopt;
    }
    return static_cast<Kind>(raw);
}

} // namespace action_service
