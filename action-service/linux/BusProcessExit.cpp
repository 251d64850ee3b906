#include "BusProcessExit.hpp"

#include "BusListener.hpp"

namespace action_service {

void BusProcessExit::exit() {
    listener_.exitProcess();
}

} // namespace action_service
