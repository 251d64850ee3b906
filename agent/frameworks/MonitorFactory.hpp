#pragma once

#include "Mortar.hpp"

#include <filesystem>
#include <memory>

namespace agent {

// Makes the platform's folder monitors; tests hand out fakes.
class MonitorFactory {
public:
    virtual ~MonitorFactory() = default;
    // Watching starts now and lasts while the monitor lives.
    virtual std::shared_ptr<mortar::SingleFolderMonitor> makeMonitor(const std::filesystem::path& url) = 0;
};

} // namespace agent
