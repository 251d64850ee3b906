#pragma once

#include "Value.hpp"
#include "platform/Listener.hpp"

#include <functional>
#include <memory>

namespace action_service {

using Reply = std::function<void(Dictionary)>;
using EndpointReply = std::function<void(std::shared_ptr<ListenerEndpoint>)>;

// The interface the service exports on every connection.
class RemoteObjectType {
public:
    static constexpr std::string_view name = "RemoteObjectType";
    virtual ~RemoteObjectType() = default;
    // Calls reply at most once, on the calling thread, before returning; for some requests never,
    // and for some it ends the process.
    virtual void runActionWith(const Dictionary& request, Reply reply) = 0;
    // Calls reply exactly once, with the stored listener's endpoint or nothing.
    virtual void listenerEndpointWithReply(EndpointReply reply) = 0;
};

// Declared for the main application's privileged helper; nothing in the service implements or calls it.
class PrivilegedConnectionType {
public:
    virtual ~PrivilegedConnectionType() = default;
    virtual void
    connectWithReply(std::function<void(std::shared_ptr<ListenerEndpoint>, Value::Data, bool)> reply) = 0;
};

} // namespace action_service
