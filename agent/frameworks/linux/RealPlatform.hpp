#pragma once

#include <chrono>

namespace agent {

// At the end of the program, once the shared MonitorFolders is gone: sends the notifications that still
// wait and takes their replies, for at most `deadline`. Only after the real platform was made.
void finishNotifications(std::chrono::milliseconds deadline);

} // namespace agent
