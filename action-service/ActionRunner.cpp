#include "Action.hpp"
#include "Controller.hpp"
#include "Utf8.hpp"

#include <chrono>
#include <thread>
#include <variant>

namespace action_service {

namespace {

using Kind = Action::Kind;
using Key = Action::Key;
using Command = Controller::Command;
using TestCommand = Controller::TestCommand;

// launchd picks up a change to a job a moment after launchctl returns.
constexpr auto settleDelay = std::chrono::milliseconds(100);
// Time for a test job to start, run and write its output file.
constexpr auto testRunDelay = std::chrono::milliseconds(300);

std::int64_t raw(Action::ErrorCode code) {
    return static_cast<std::int64_t>(code);
}

void saveJob(const Dictionary& request, Controller& controller, const Reply& reply, const Dictionary& success,
             bool load) {
    const std::string* plistString = readString(request, Key::plistString);
    const std::string* path = readString(request, Key::path);
    const std::string* label = readString(request, Key::label);
    if (plistString == nullptr || path == nullptr || label == nullptr) {
        return;
    }
    if (controller.platform().files.exists(*path)) {
        controller.runJobCommand(Command::unload, *path);
    }
    controller.runJobCommand(Command::remove, *label);
    if (auto error = controller.writeFile(*plistString, *path)) {
        reply(std::move(*error));
        return;
    }
    if (load) {
        if (auto error = controller.runJobCommand(Command::load, *path)) {
            reply(std::move(*error));
            return;
        }
    }
    std::this_thread::sleep_for(settleDelay);
    if (const std::string* deletePath = readString(request, Key::deletePath)) {
        controller.deleteFile(*deletePath);
    }
    reply(success);
}

void deleteJob(const Dictionary& request, Controller& controller, const Reply& reply,
               const Dictionary& success) {
    const std::string* deletePath = readString(request, Key::deletePath);
    const std::string* label = readString(request, Key::label);
    if (deletePath == nullptr || label == nullptr) {
        return;
    }
    if (controller.platform().files.exists(*deletePath)) {
        controller.runJobCommand(Command::unload, *deletePath);
    }
    controller.runJobCommand(Command::remove, *label);
    std::this_thread::sleep_for(settleDelay);
    auto error = controller.deleteFile(*deletePath);
    reply(error ? std::move(*error) : success);
}

void unloadJob(const Dictionary& request, Controller& controller, const Reply& reply,
               const Dictionary& success) {
    const std::string* path = readString(request, Key::path);
    if (path == nullptr) {
        return;
    }
    const std::string* label = readString(request, Key::label);
    const bool fileExists = controller.platform().files.exists(*path);
    bool ok = true;
    if (label != nullptr) {
        if (fileExists && controller.runJobCommand(Command::unload, *path)) {
            ok = false;
        }
        if (controller.runJobCommand(Command::remove, *label)) {
            ok = false;
        }
    } else if (fileExists && controller.runJobCommand(Command::unload, *path)) {
        ok = false;
    }
    // Whatever failed, the main application hears one code for this kind.
    reply(ok ? success : makeErrorReply(raw(Action::ErrorCode::cantRemove)));
}

void loadJob(const Dictionary& request, Controller& controller, const Reply& reply,
             const Dictionary& success) {
    const std::string* path = readString(request, Key::path);
    if (path == nullptr) {
        return;
    }
    auto error = controller.runJobCommand(Command::load, *path);
    reply(error ? std::move(*error) : success);
}

// The output file is read as strict UTF-8, as the platform reads text files: a file that is not UTF-8
// counts as unreadable, so a reply never carries invalid text.
std::optional<std::string> readTextFile(Controller& controller, const std::string& path) {
    auto contents = controller.platform().files.read(path);
    std::string* bytes = std::get_if<std::string>(&contents);
    if (bytes == nullptr || !isValidUtf8(*bytes)) {
        return std::nullopt;
    }
    return std::move(*bytes);
}

void testJob(const Dictionary& request, Controller& controller, const Reply& reply) {
    const std::string* plistString = readString(request, Key::plistString);
    const std::string* testPath = readString(request, Key::testPath);
    const std::string* testOutputPath = readString(request, Key::testOutputPath);
    const std::string* label = readString(request, Key::label);
    if (plistString == nullptr || testPath == nullptr || testOutputPath == nullptr || label == nullptr) {
        return;
    }
    if (auto error = controller.writeFile(*plistString, *testPath)) {
        reply(std::move(*error));
        return;
    }
    std::string text = controller.runTestCommand(TestCommand::load, *testPath);
    std::this_thread::sleep_for(testRunDelay);
    if (text.empty()) {
        const Controller::TestOutput status = controller.runTest(TestCommand::number, *label);
        if (!status.started) {
            // The query never ran: say why, rather than ask launchctl to explain that text as a status.
            text = status.text;
        } else if (!status.text.empty() && status.text != "0\n") {
            text = controller.runTestCommand(TestCommand::error, status.text);
        }
        if (auto contents = readTextFile(controller, *testOutputPath)) {
            if (!text.empty()) {
                text += '\n';
            }
            text += *contents;
        }
    }
    controller.deleteFile(*testPath);
    controller.deleteFile(*testOutputPath);
    reply(Dictionary{{std::string(Action::ResultKey::test), Value(std::move(text))}});
}

void removeFile(const Dictionary& request, Controller& controller, const Reply& reply,
                const Dictionary& success) {
    const std::string* deletePath = readString(request, Key::deletePath);
    if (deletePath == nullptr) {
        return;
    }
    auto error = controller.deleteFile(*deletePath);
    reply(error ? std::move(*error) : success);
}

} // namespace

void runAction(const Dictionary& request, Controller& controller, const Reply& reply) {
    const bool privileged = readBoolean(request, Key::privileged).value_or(false);
    const std::optional<std::int64_t> kind = readInteger(request, Key::kind);
    if (!kind) {
        reply(makeErrorReply(raw(Action::ErrorCode::unknownKind)));
        return;
    }
    const Dictionary success;
    if (*kind == static_cast<std::int64_t>(Kind::quit)) {
        controller.platform().exit.exit();
        return;
    }
    if (privileged && !controller.checkAuthorization(request)) {
        controller.platform().log.write("Not a valid helper tool");
        reply(makeErrorReply(raw(Action::ErrorCode::unknown)));
        controller.platform().exit.exit();
        return;
    }
    const std::optional<Kind> action = Action::kindFromRaw(*kind);
    if (!action) {
        return;
    }
    switch (*action) {
    case Kind::saveJob:
        saveJob(request, controller, reply, success, false);
        break;
    case Kind::saveAndLoadJob:
        saveJob(request, controller, reply, success, true);
        break;
    case Kind::deleteJob:
        deleteJob(request, controller, reply, success);
        break;
    case Kind::unloadJob:
        unloadJob(request, controller, reply, success);
        break;
    case Kind::loadJob:
        loadJob(request, controller, reply, success);
        break;
    case Kind::testJob:
        testJob(request, controller, reply);
        break;
    case Kind::removeFile:
        removeFile(request, controller, reply, success);
        break;
    case Kind::removeHelperTool:
        removeHelperTool(controller, reply);
        break;
    case Kind::quit:
    case Kind::reserved:
        break;
    }
}

} // namespace action_service
