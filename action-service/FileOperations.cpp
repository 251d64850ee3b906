#include "Controller.hpp"

namespace action_service {

OptionalReply Controller::writeFile(const std::string& contents, const std::string& path) {
    if (auto error = platform_.files.writeAtomically(path, contents)) {
        platform_.log.write("Could not write to file: " + path);
        return makeErrorReply(*error);
    }
    return std::nullopt;
}

OptionalReply Controller::deleteFile(const std::string& path) {
    if (auto error = platform_.files.remove(path)) {
        platform_.log.write("Could not delete file: " + path);
        return makeErrorReply(*error);
    }
    return std::nullopt;
}

} // namespace action_service
