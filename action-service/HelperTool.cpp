#include "Controller.hpp"

#include <filesystem>

namespace action_service {

namespace {

// The folder text as a directory with the name appended as one path component.
std::string fileIn(const std::string& folder, const std::string& name) {
    return (std::filesystem::path(folder) / name).lexically_normal().string();
}

} // namespace

const std::string& helperToolName() {
    static const std::string name = mainBundleIdentifier() + "Helper";
    return name;
}

void Controller::removeHelperTool(const Reply& reply) {
    // These removals write nothing to the log, unlike a requested deletion.
    FileSystem& files = platform_.files;
    const std::string jobFile = fileIn(helperTool_.daemons, helperToolName() + ".plist");
    runJobCommand(Command::remove, helperToolName());
    if (files.exists(jobFile)) {
        if (auto error = files.remove(jobFile)) {
            reply(makeErrorReply(*error));
            return;
        }
    }
    const std::string executable = fileIn(helperTool_.tools, helperToolName());
    if (files.exists(executable)) {
        if (auto error = files.remove(executable)) {
            reply(makeErrorReply(*error));
            return;
        }
    }
    platform_.exit.exit();
}

} // namespace action_service
