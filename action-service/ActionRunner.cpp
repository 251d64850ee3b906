#include "Action.hpp"
#include "BoundedText.hpp"
#include "Controller.hpp"
#include "NormalizedPath.hpp"
#include "ShownText.hpp"
#include "Utf8.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

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

// The lines a request logs wait until its reply has gone, so that a log line never delays a reply;
// the rest are written when the request ends.
class DeferredLog final : public SystemLog {
public:
    explicit DeferredLog(Controller& controller)
        : controller_(controller) {}
    DeferredLog(const DeferredLog&) = delete;
    DeferredLog& operator=(const DeferredLog&) = delete;
    ~DeferredLog() override { flush(); }

    void write(std::string_view line) override { lines_.emplace_back(line); }
    void flush() {
        for (const std::string& line : lines_) {
            controller_.writeLog(line);
        }
        lines_.clear();
    }

private:
    Controller& controller_;
    std::vector<std::string> lines_;
};

// One request while it runs: what it asks, who carries it out, how it answers and where it logs.
struct Request {
    const Dictionary& entries;
    Controller& controller;
    const Reply& reply;
    SystemLog& log;
    const Dictionary success;

    const std::string* text(std::string_view key) const { return readString(entries, key); }

    // Every path a request names must be absolute and normalized (see isNormalizedAbsolutePath);
    // any other is refused with EINVAL before any step is taken. True when refused.
    bool refusesPaths(std::initializer_list<const std::string*> paths) const {
        for (const std::string* path : paths) {
            if (path != nullptr && !isNormalizedAbsolutePath(*path)) {
                log.write("Refused a path that is not absolute and normalized: " + shownText(*path));
                reply(controller.errorReplyFor(EINVAL));
                return true;
            }
        }
        return false;
    }
};

void saveJob(const Request& request, bool load) {
    Controller& controller = request.controller;
    const std::string* plistString = request.text(Key::plistString);
    const std::string* path = request.text(Key::path);
    const std::string* label = request.text(Key::label);
    if (plistString == nullptr || path == nullptr || label == nullptr) {
        return;
    }
    const std::string* deletePath = request.text(Key::deletePath);
    if (request.refusesPaths({path, deletePath})) {
        return;
    }
    if (request.controller.fileExists(*path)) {
        controller.runJobCommand(Command::unload, *path, request.log);
    }
    controller.runJobCommand(Command::remove, *label, request.log);
    if (auto error = controller.writeFile(*plistString, *path, request.log)) {
        request.reply(std::move(*error));
        return;
    }
    if (load) {
        if (auto error = controller.runJobCommand(Command::load, *path, request.log)) {
            request.reply(std::move(*error));
            return;
        }
    }
    std::this_thread::sleep_for(settleDelay);
    if (deletePath != nullptr) {
        controller.deleteFile(*deletePath, request.log);
    }
    request.reply(request.success);
}

void deleteJob(const Request& request) {
    Controller& controller = request.controller;
    const std::string* deletePath = request.text(Key::deletePath);
    const std::string* label = request.text(Key::label);
    if (deletePath == nullptr || label == nullptr || request.refusesPaths({deletePath})) {
        return;
    }
    if (request.controller.fileExists(*deletePath)) {
        controller.runJobCommand(Command::unload, *deletePath, request.log);
    }
    controller.runJobCommand(Command::remove, *label, request.log);
    std::this_thread::sleep_for(settleDelay);
    auto error = controller.deleteFile(*deletePath, request.log);
    request.reply(error ? std::move(*error) : request.success);
}

void unloadJob(const Request& request) {
    Controller& controller = request.controller;
    const std::string* path = request.text(Key::path);
    if (path == nullptr || request.refusesPaths({path})) {
        return;
    }
    const std::string* label = request.text(Key::label);
    const bool fileExists = request.controller.fileExists(*path);
    bool ok = true;
    if (label != nullptr) {
        if (fileExists && controller.runJobCommand(Command::unload, *path, request.log)) {
            ok = false;
        }
        if (controller.runJobCommand(Command::remove, *label, request.log)) {
            ok = false;
        }
    } else if (fileExists && controller.runJobCommand(Command::unload, *path, request.log)) {
        ok = false;
    }
    // Whatever failed, the main application hears one code for this kind.
    request.reply(ok ? request.success : makeErrorReply(Action::ErrorCode::cantRemove));
}

void loadJob(const Request& request) {
    const std::string* path = request.text(Key::path);
    if (path == nullptr || request.refusesPaths({path})) {
        return;
    }
    auto error = request.controller.runJobCommand(Command::load, *path, request.log);
    request.reply(error ? std::move(*error) : request.success);
}

// The start of the output file, read as strict UTF-8 as the platform reads text files: a file that is
// not UTF-8 counts as unreadable, so a reply never carries invalid text. A longer file is cut after
// at most replyTextLimit bytes, between two characters, and a last line says how much was left out.
std::optional<std::string> readTestOutput(const Request& request, const std::string& path) {
    auto contents = request.controller.readFileHead(path, replyTextLimit);
    auto* head = std::get_if<FileSystem::Head>(&contents);
    if (head == nullptr) {
        return std::nullopt;
    }
    std::string text = std::move(head->bytes);
    const std::uint64_t leftOut = keepWholeCharacters(text, head->size);
    if (!isValidUtf8(text)) {
        return std::nullopt;
    }
    appendLeftOutLine(text, leftOut, "the output file");
    return text;
}

// launchctl explains a status number: an optional sign and decimal digits on one line. Whatever else
// the query printed (a complaint of grep, the statuses of several jobs) is no status to explain.
bool isStatusNumber(std::string_view text) {
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        text.remove_prefix(1);
    }
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void testJob(const Request& request) {
    Controller& controller = request.controller;
    const std::string* plistString = request.text(Key::plistString);
    const std::string* testPath = request.text(Key::testPath);
    const std::string* testOutputPath = request.text(Key::testOutputPath);
    const std::string* label = request.text(Key::label);
    if (plistString == nullptr || testPath == nullptr || testOutputPath == nullptr || label == nullptr ||
        request.refusesPaths({testPath, testOutputPath})) {
        return;
    }
    if (auto error = controller.writeFile(*plistString, *testPath, request.log)) {
        request.reply(std::move(*error));
        return;
    }
    std::string text = controller.runTestCommand(TestCommand::load, *testPath).text;
    std::this_thread::sleep_for(testRunDelay);
    if (text.empty()) {
        const Controller::TestOutput status = controller.runTestCommand(TestCommand::number, *label);
        if (!status.started || !isStatusNumber(status.text)) {
            // Why the query did not run, or what it printed instead of one status: the text as it is.
            text = status.text;
        } else if (status.text != "0\n") {
            text = controller.runTestCommand(TestCommand::error, status.text).text;
        }
        if (auto contents = readTestOutput(request, *testOutputPath)) {
            if (!text.empty()) {
                text += '\n';
            }
            text += *contents;
        }
    }
    controller.deleteFile(*testPath, request.log);
    controller.deleteFile(*testOutputPath, request.log);
    request.reply(Dictionary{{std::string(Action::ResultKey::test), Value(std::move(text))}});
}

void removeFile(const Request& request) {
    const std::string* deletePath = request.text(Key::deletePath);
    if (deletePath == nullptr || request.refusesPaths({deletePath})) {
        return;
    }
    auto error = request.controller.deleteFile(*deletePath, request.log);
    request.reply(error ? std::move(*error) : request.success);
}

} // namespace

void runAction(const Dictionary& request, Controller& controller, const Reply& reply) {
    const bool privileged = readBoolean(request, Key::privileged).value_or(false);
    const std::optional<std::int64_t> kind = readInteger(request, Key::kind);
    if (!kind) {
        reply(makeErrorReply(Action::ErrorCode::unknownKind));
        return;
    }
    if (*kind == static_cast<std::int64_t>(Kind::quit)) {
        controller.endProcess();
        return;
    }
    if (privileged && !controller.checkAuthorization(request)) {
        controller.writeLog("Not a valid helper tool");
        reply(makeErrorReply(Action::ErrorCode::unknown));
        controller.endProcess();
        return;
    }
    const std::optional<Kind> action = Action::kindFromRaw(*kind);
    if (!action) {
        return;
    }
    DeferredLog log(controller);
    const Reply answer = [&](Dictionary dictionary) {
        reply(std::move(dictionary));
        log.flush();
    };
    const Request current{request, controller, answer, log, Dictionary{}};
    switch (*action) {
    case Kind::saveJob:
        saveJob(current, false);
        break;
    case Kind::saveAndLoadJob:
        saveJob(current, true);
        break;
    case Kind::deleteJob:
        deleteJob(current);
        break;
    case Kind::unloadJob:
        unloadJob(current);
        break;
    case Kind::loadJob:
        loadJob(current);
        break;
    case Kind::testJob:
        testJob(current);
        break;
    case Kind::removeFile:
        removeFile(current);
        break;
    case Kind::removeHelperTool:
        controller.removeHelperTool(answer);
        break;
    case Kind::quit:
    case Kind::reserved:
        break;
    }
}

} // namespace action_service
