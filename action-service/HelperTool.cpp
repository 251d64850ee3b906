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

void removeHelperTool(Controller& controller, const Reply& reply) {
    Platform& platform = controller.platform();
    const std::string jobFile = fileIn(controller.helperToolFolders().daemons, helperToolName() + ".plist");
    controller.runJobCommand(Controller::Command::remove, helperToolName());
    if (platform.files.exists(jobFile)) {
        if (auto error = platform.files.remove(jobFile)) {
            reply(makeErrorReply(*error));
            return;
        }
    }
    const std::string executable = fileIn(controller.helperToolFolders().tools, helperToolName());
    if (platform.files.exists(executable)) {
        if (auto error = platform.files.remove(executable)) {
            reply(makeErrorReply(*error));
            return;
        }
    }
    platform.exit.exit();
}

} // namespace action_service
