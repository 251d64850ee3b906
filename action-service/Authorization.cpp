#include "Action.hpp"
#include "Controller.hpp"

#include <algorithm>

namespace action_service {

namespace {

// Extend rights (2) with interaction allowed (1).
constexpr std::uint32_t rightsFlags = 3;
constexpr std::uint32_t defaultFlags = 0;
constexpr Authority::Status success = 0;
constexpr Authority::Status notYetChecked = -1;

const std::string& authorizationRightName() {
    static const std::string name = mainBundleIdentifier();
    return name;
}

} // namespace

bool Controller::checkAuthorization(const Dictionary& request) {
    const Value::Data* data = readData(request, Action::Key::authData);
    Authority::ExternalForm form{};
    if (data == nullptr || data->size() != form.size()) {
        return false;
    }
    std::copy(data->begin(), data->end(), form.begin());

    Authority& authority = platform_.authority;
    Authority::Reference reference = nullptr;
    Authority::Status status = authority.createFromExternalForm(form, reference);
    if (status == success) {
        // A success without a reference asked for no right, so it grants none.
        status = reference != nullptr ? authority.copyRights(reference, authorizationRightName(), rightsFlags)
                                      : notYetChecked;
    }
    if (reference != nullptr) {
        authority.free(reference, defaultFlags);
    }
    return status == success;
}

} // namespace action_service
