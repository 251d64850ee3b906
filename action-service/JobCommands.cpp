#include "Action.hpp"
#include "Controller.hpp"
#include "ShownText.hpp"

namespace action_service {

OptionalReply Controller::runJobCommand(Command command, const std::string& argument, SystemLog& log) {
    std::vector<std::string> arguments{launchctl};
    Action::ErrorCode failure = Action::ErrorCode::cantLoad;
    switch (command) {
    case Command::load:
        arguments.insert(arguments.end(), {"load", "-w", argument});
        failure = Action::ErrorCode::cantLoad;
        break;
    case Command::unload:
        arguments.insert(arguments.end(), {"unload", "-w", argument});
        failure = Action::ErrorCode::cantUnload;
        break;
    case Command::remove:
        arguments.insert(arguments.end(), {"remove", argument});
        failure = Action::ErrorCode::cantRemove;
        break;
    }
    if (!argument.empty() && argument.front() == '-') {
        log.write("Refused a launchctl argument that would be read as an option: " + shownText(argument));
        return makeErrorReply(failure);
    }
    ProcessRunner::Exit exit = platform_.processes.run(launchctl, arguments);
    // A launchctl that could not be started did not do the job: that is the command's failure too.
    if (exit.launchError || exit.status != 0) {
        return makeErrorReply(failure);
    }
    return std::nullopt;
}

} // namespace action_service
