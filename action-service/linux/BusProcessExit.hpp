#pragma once

#include "platform/ProcessExit.hpp"

namespace action_service {

class BusListener;

// Ends the process the way the bus needs: see BusListener::exitProcess.
class BusProcessExit final : public ProcessExit {
public:
    explicit BusProcessExit(BusListener& listener)
        : listener_(listener) {}
    void exit() override;

private:
    BusListener& listener_;
};

} // namespace action_service
