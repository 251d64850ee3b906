#include "Controller.hpp"
#include "ShownText.hpp"

namespace action_service {

OptionalReply Controller::writeFile(const std::string& contents, const std::string& path, SystemLog& log) {
    if (auto error = platform_.files.writeAtomically(path, contents)) {
        log.write("Could not write to file: " + shownText(path));
        return makeErrorReply(*error);
    }
    return std::nullopt;
}

OptionalReply Controller::deleteFile(const std::string& path, SystemLog& log) {
    if (auto error = platform_.files.remove(path)) {
        log.write("Could not delete file: " + shownText(path));
        return makeErrorReply(*error);
    }
    return std::nullopt;
}

Dictionary Controller::errorReplyFor(int posixCode) {
    return makeErrorReply(platform_.files.errorFor(posixCode));
}

} // namespace action_service
