#pragma once

#include "InotifyCalls.hpp"
#include "frameworks/MonitorFactory.hpp"
#include "frameworks/Timer.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace agent {

class Inotify;

// One line on standard error.
void logToStandardError(const std::string& line);

// Folder monitors that share one inotify descriptor, read on the main loop of the thread that makes the
// factory; monitors are made, used and destroyed on that thread, and the timer runs closures there.
//
// A monitor watches its folder and every folder on the way to it, links followed, and reports every
// change of the folder's entries and of the files in it. A missing folder is watched for from the last
// folder on its way; renaming or replacing a folder or a link on the way moves the watch to what the
// path names now. When events were lost, every monitor looks again and reports.
//
// A descriptor or a watch that cannot be made is logged (one line naming the folder and the error) and
// tried again after 1 s, doubling up to 60 s, until it is made; every attempt is reported as a change,
// so that the agent looks at the folder meanwhile.
class InotifyMonitorFactory final : public MonitorFactory {
public:
    using Log = std::function<void(const std::string& line)>;

    InotifyMonitorFactory(InotifyCalls& calls, Timer& timer, Log log = logToStandardError);
    ~InotifyMonitorFactory() override;
    InotifyMonitorFactory(const InotifyMonitorFactory&) = delete;
    InotifyMonitorFactory& operator=(const InotifyMonitorFactory&) = delete;

    std::shared_ptr<mortar::SingleFolderMonitor> makeMonitor(const std::filesystem::path& url) override;

private:
    std::shared_ptr<Inotify> inotify_;
    Timer& timer_;
    Log log_;
};

} // namespace agent
