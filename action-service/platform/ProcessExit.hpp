#pragma once

namespace action_service {

// Ends the service process with status 0: takes no further request, lets the requests already running
// finish and reply, releases what the platform needs released, makes sure a reply already sent reaches
// its caller, then _exit(0) (static destructors would run under other callers' threads). The real one never
// returns; a test fake records the call and returns, and the caller returns right after it.
class ProcessExit {
public:
    virtual ~ProcessExit() = default;
    virtual void exit() = 0;
};

} // namespace action_service
