#include "Controller.hpp"

#include <utility>

namespace action_service {

Controller::Controller(Platform platform, std::string launchctlPath, HelperToolFolders helperTool)
    : launchctl(std::move(launchctlPath))
    , platform_(platform)
    , helperTool_(std::move(helperTool)) {}

bool Controller::shouldAcceptNewConnection(Listener& newListener, Connection& connection) {
    connection.setExportedInterface(Interface::withProtocol(RemoteObjectType::name));
    connection.setExportedObject(*this);
    connection.resume();
    // Always the same service listener; release pairs with the acquire in listener().
    listener_.store(&newListener, std::memory_order_release);
    return true;
}

void Controller::listenerEndpointWithReply(EndpointReply reply) {
    Listener* current = listener();
    reply(current != nullptr ? current->endpoint() : nullptr);
}

void Controller::runActionWith(const Dictionary& request, Reply reply) {
    runAction(request, *this, reply);
}

const std::string& mainBundleIdentifier() {
    static const std::string identifier = QUORVEL_MAIN_BUNDLE_IDENTIFIER;
    return identifier;
}

} // namespace action_service
