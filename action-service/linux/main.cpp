#include "BusListener.hpp"
#include "Controller.hpp"

// Started by D-Bus activation on the first call to the service's name.
int main() {
    auto& listener = action_service::BusListener::service();
    listener.setDelegate(action_service::sharedController());
    // Runs the service; comes back only when the bus is gone.
    return listener.resume();
}
