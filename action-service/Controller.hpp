#pragma once

#include "Action.hpp"
#include "RemoteObjectType.hpp"
#include "Value.hpp"
#include "platform/Authority.hpp"
#include "platform/FileSystem.hpp"
#include "platform/Listener.hpp"
#include "platform/ProcessExit.hpp"
#include "platform/ProcessRunner.hpp"
#include "platform/SystemLog.hpp"

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace action_service {

// The platform services a controller works through.
struct Platform {
    ProcessRunner& processes;
    FileSystem& files;
    Authority& authority;
    SystemLog& log;
    ProcessExit& exit;
};

// Where the privileged helper tool's two files live.
struct HelperToolFolders {
    std::string daemons = "/Library/LaunchDaemons/";
    std::string tools = "/Library/PrivilegedHelperTools/";
};

// Optional reply: absent on success, a ready-to-send error reply on failure.
using OptionalReply = std::optional<Dictionary>;

// The service's one long-lived object: the listener's delegate and every connection's exported object.
class Controller final : public RemoteObjectType {
public:
    Controller(Platform platform, std::string launchctlPath, HelperToolFolders helperTool = {});

    // Accepts every connection: exports RemoteObjectType with this controller, resumes it and
    // remembers the listener.
    bool shouldAcceptNewConnection(Listener& newListener, Connection& connection);
    void listenerEndpointWithReply(EndpointReply reply) override;
    void runActionWith(const Dictionary& request, Reply reply) override;

    Listener* listener() const { return listener_.load(std::memory_order_acquire); }
    const std::string launchctl;

    enum class Command { load, remove, unload };
    enum class TestCommand { load, number, error };

    // An argument that begins with "-" would reach launchctl as an option: the command fails with its
    // own code, nothing runs, and `log` gets one line.
    OptionalReply runJobCommand(Command command, const std::string& argument, SystemLog& log);
    OptionalReply runJobCommand(Command command, const std::string& argument) {
        return runJobCommand(command, argument, platform_.log);
    }
    struct TestOutput {
        // Everything the command wrote to standard output and standard error, decoded as UTF-8.
        std::string text;
        bool started = true; // false: the text says which program could not be started, and why
    };
    TestOutput runTestCommand(TestCommand command, const std::string& argument);
    // The shell text of the status query for a label.
    std::string statusQuery(const std::string& label) const;

    // A failure writes its line to `log`: a request hands in a log that waits for its reply.
    OptionalReply writeFile(const std::string& contents, const std::string& path, SystemLog& log);
    OptionalReply writeFile(const std::string& contents, const std::string& path) {
        return writeFile(contents, path, platform_.log);
    }
    OptionalReply deleteFile(const std::string& path, SystemLog& log);
    OptionalReply deleteFile(const std::string& path) { return deleteFile(path, platform_.log); }
    bool checkAuthorization(const Dictionary& request);
    // Removes the privileged helper tool; on success ends the process without reply.
    void removeHelperTool(const Reply& reply);

    // What the action runner does through the platform besides the operations above.
    bool fileExists(const std::string& path) { return platform_.files.exists(path); }
    std::variant<FileSystem::Head, PlatformError> readFileHead(const std::string& path, std::size_t limit) {
        return platform_.files.read(path, limit);
    }
    Dictionary errorReplyFor(int posixCode);
    void writeLog(std::string_view line) { platform_.log.write(line); }
    // Ends the service (once the other calls running have finished, where the platform waits for them).
    void endProcess() { platform_.exit.exit(); }

private:
    Platform platform_;
    HelperToolFolders helperTool_;
    // Written on every accepted connection, read on other threads.
    std::atomic<Listener*> listener_{nullptr};
};

// Carries out one request; calls reply at most once.
void runAction(const Dictionary& request, Controller& controller, const Reply& reply);
const std::string& helperToolName();
const std::string& mainBundleIdentifier();

Dictionary makeErrorReply(const PlatformError& error);
Dictionary makeErrorReply(Action::ErrorCode code);

// The process-wide controller, wired to the real platform; built once, even when first used
// from two threads at once. Defined by the platform's program.
Controller& sharedController();

} // namespace action_service
