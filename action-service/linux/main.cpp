#include "BusListener.hpp"
#include "CommandLine.hpp"
#include "Controller.hpp"

#include <cstdio>

namespace {

constexpr std::string_view summary =
    "Carries out the Quorvel application's requests (write, load, unload, test-run and delete launchd\n"
    "jobs and files) as a service on the session bus. D-Bus starts it on the first call to its name;\n"
    "it ends when asked to quit, or after a refused privileged request.\n";

} // namespace

// Started by D-Bus activation on the first call to the service's name.
int main(int argc, char* argv[]) {
    if (const auto status = common::answerCommandLine(
            argc, argv, {"Quorvel5XPCAction", QUORVEL_VERSION, summary, false}, stdout, stderr)) {
        return *status;
    }
    auto& listener = action_service::BusListener::service();
    listener.setDelegate(action_service::sharedController());
    // Runs the service; the process ends through _exit, never by returning here, so no static
    // destructor runs under a call still in flight.
    listener.resume();
}
