#include "ServiceProcessExit.hpp"

#include <cstdio>
#include <unistd.h>

namespace action_service {

void ServiceProcessExit::exit() {
    std::fflush(nullptr);
    // _exit, not exit: exit would run static destructors while other connections' threads still use the
    // objects they destroy. Their requests in flight are abandoned, as when the system ends the service.
    ::_exit(0);
}

} // namespace action_service
