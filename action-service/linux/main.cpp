#include "BusListener.hpp"
#include "Controller.hpp"

// Started by D-Bus activation on the first call to the service's name.
int main() {
    auto& listener = action_service::BusListener::service();
    listener.setDelegate(action_service::sharedController());
    // Runs the service; the process ends through _exit, never by returning here, so no static
    // destructor runs under a call still in flight.
    listener.resume();
}
