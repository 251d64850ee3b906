#pragma once

#include "FakeLaunchctl.hpp"
#include "PrivateBus.hpp"

#include <string>

namespace service_bus {

using test_support::PrivateBus;

// The fake launchctl of a bus; a base of ActivatingBus, so that it is made before the bus that names it.
struct ServiceLaunchctl {
    test_support::FakeLaunchctl fake;
};

// Where the services' standard error goes: the test's own, or a file that PrivateBus::log() reads.
enum class ServiceLog { shown, kept };

// A private bus whose service folder holds the .service file of the test copy of the program (the one
// that runs the fake launchctl), so the first call activates it. The service runs this bus's fake.
// serviceAsanOptions are added to the service's ASAN_OPTIONS.
class ActivatingBus : public ServiceLaunchctl, public PrivateBus {
public:
    // recordCalls false: the fake launchctl records nothing and exits at once (for many requests).
    explicit ActivatingBus(const std::string& serviceAsanOptions = "", bool recordCalls = true,
                           ServiceLog log = ServiceLog::shown)
        : PrivateBus({.folder = QUORVEL_TEST_SERVICE_FOLDER,
                      .name = QUORVEL_SERVICE_BUS_NAME,
                      .environment = {{"FAKE_LAUNCHCTL_DIR", recordCalls ? fake.folder() : ""}},
                      .asanOptions = serviceAsanOptions,
                      .tsanSuppressions = QUORVEL_TSAN_SUPPRESSIONS,
                      .keepLog = log == ServiceLog::kept}) {}
};

} // namespace service_bus
