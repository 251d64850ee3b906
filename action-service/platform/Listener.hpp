#pragma once

#include <memory>
#include <string_view>

namespace action_service {

class RemoteObjectType;

// What a listener hands out for reaching the service again; its contents are the platform's business.
class ListenerEndpoint {
public:
    virtual ~ListenerEndpoint() = default;
};

class Listener {
public:
    virtual ~Listener() = default;
    // May be absent.
    virtual std::shared_ptr<ListenerEndpoint> endpoint() = 0;
};

// The interface object made from a protocol (no class lists, no remote-object interface).
struct Interface {
    std::string_view protocol;
    static Interface withProtocol(std::string_view name) { return Interface{name}; }
};

class Connection {
public:
    virtual ~Connection() = default;
    virtual void setExportedInterface(const Interface& interface) = 0;
    virtual void setExportedObject(RemoteObjectType& object) = 0;
    virtual void resume() = 0;
};

} // namespace action_service
