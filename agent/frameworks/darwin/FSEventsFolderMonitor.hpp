#pragma once

#include "frameworks/MonitorFactory.hpp"

namespace agent {

// Folder monitors over FSEvents: each watches its folder (and the path to it) with a stream of its own,
// delivered on a serial dispatch queue of its own, and reports every batch of events. Watching stops when
// the monitor goes.
class FSEventsMonitorFactory final : public MonitorFactory {
public:
    std::shared_ptr<mortar::SingleFolderMonitor> makeMonitor(const std::filesystem::path& url) override;
};

} // namespace agent
