#pragma once

#include "Controller.hpp"
#include "FakeLaunchctl.hpp"
#include "PosixFileSystem.hpp"
#include "PosixProcessRunner.hpp"
#include "TempFolder.hpp"

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace service_test {

using namespace action_service;

// One ordered record of what the fakes saw, so tests can check "log, then reply, then exit".
struct Events {
    std::mutex mutex;
    std::vector<std::string> list;
    void add(std::string event) {
        std::lock_guard lock(mutex);
        list.push_back(std::move(event));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return list;
    }
};

class RecordingLog final : public SystemLog {
public:
    explicit RecordingLog(Events& events)
        : events_(events) {}
    void write(std::string_view line) override { events_.add("log " + std::string(line)); }
    std::vector<std::string> lines() {
        std::vector<std::string> result;
        for (const auto& event : events_.snapshot()) {
            if (event.rfind("log ", 0) == 0) {
                result.push_back(event.substr(4));
            }
        }
        return result;
    }

private:
    Events& events_;
};

class RecordingExit final : public ProcessExit {
public:
    explicit RecordingExit(Events& events)
        : events_(events) {}
    void exit() override { events_.add("exit"); }

private:
    Events& events_;
};

class FakeAuthority final : public Authority {
public:
    Status createStatus = 0;
    bool giveReference = true;
    Status copyStatus = 0;
    std::vector<std::string> calls;
    ExternalForm seenForm{};
    std::string seenRight;
    std::uint32_t seenFlags = 99;
    int token = 0;

    Status createFromExternalForm(const ExternalForm& form, Reference& reference) override {
        calls.push_back("create");
        seenForm = form;
        reference = giveReference ? &token : nullptr;
        return createStatus;
    }
    Status copyRights(Reference reference, std::string_view rightName, std::uint32_t flags) override {
        calls.push_back(reference == &token ? "copy" : "copy without reference");
        seenRight = rightName;
        seenFlags = flags;
        return copyStatus;
    }
    Status free(Reference reference, std::uint32_t flags) override {
        calls.push_back(reference == &token && flags == 0 ? "free" : "free of something else");
        return 0;
    }
};

// The real file system, except that removing chosen paths fails with a chosen errno: root removes
// what permissions would protect, so this is how a test gets an item that cannot be removed.
class FileSystemWithFailures final : public FileSystem {
public:
    explicit FileSystemWithFailures(FileSystem& real)
        : real_(real) {}
    std::map<std::string, int> failingRemovals;

    bool exists(const std::string& path) override { return real_.exists(path); }
    std::optional<PlatformError> writeAtomically(const std::string& path, std::string_view bytes) override {
        return real_.writeAtomically(path, bytes);
    }
    std::optional<PlatformError> remove(const std::string& path) override {
        if (auto failure = failingRemovals.find(path); failure != failingRemovals.end()) {
            return PlatformError{"NSPOSIXErrorDomain", failure->second, "Operation not permitted", ""};
        }
        return real_.remove(path);
    }
    std::variant<Head, PlatformError> read(const std::string& path, std::size_t limit) override {
        return real_.read(path, limit);
    }
    PlatformError errorFor(int code) override { return real_.errorFor(code); }

private:
    FileSystem& real_;
};

// The real process runner, except that chosen programs cannot be started.
class ProcessRunnerWithFailures final : public ProcessRunner {
public:
    explicit ProcessRunnerWithFailures(ProcessRunner& real)
        : real_(real) {}
    std::vector<std::string> unstartable;

    Exit run(const std::string& program, const std::vector<std::string>& arguments) override {
        if (refused(program)) {
            return Exit{missing(), 0};
        }
        return real_.run(program, arguments);
    }
    Output capture(const std::string& program, const std::vector<std::string>& arguments,
                   std::size_t limit) override {
        if (refused(program)) {
            return Output{missing(), {}, 0};
        }
        return real_.capture(program, arguments, limit);
    }

private:
    bool refused(const std::string& program) const {
        return std::find(unstartable.begin(), unstartable.end(), program) != unstartable.end();
    }
    static PlatformError missing() { return {"NSPOSIXErrorDomain", ENOENT, "No such file or directory", ""}; }
    ProcessRunner& real_;
};

// A controller over real processes and files, with the fake launchctl and fakes for the rest.
struct Service {
    test_support::FakeLaunchctl launchctl;
    test_support::TempFolder folder{"quorvel-service"};
    Events events;
    PosixProcessRunner realProcesses;
    ProcessRunnerWithFailures processes{realProcesses};
    PosixFileSystem realFiles;
    FileSystemWithFailures files{realFiles};
    FakeAuthority authority;
    RecordingLog log{events};
    RecordingExit exit{events};
    Controller controller;
    std::vector<Dictionary> replies;

    explicit Service(const std::string& launchctlName = "launchctl")
        : launchctl(launchctlName)
        , controller(Platform{processes, files, authority, log, exit}, launchctl.program(),
                     HelperToolFolders{folder / "LaunchDaemons", folder / "PrivilegedHelperTools"}) {}

    Reply reply() {
        return [this](Dictionary answer) {
            events.add("reply");
            replies.push_back(std::move(answer));
        };
    }
    void run(const Dictionary& request) { controller.runActionWith(request, reply()); }
    // The same fakes, for another controller.
    Platform platform() { return Platform{processes, files, authority, log, exit}; }
    std::string path(const std::string& name) const { return folder / name; }
};

inline Dictionary errorReply(std::int64_t code) {
    return Dictionary{
        {"error", Value(Dictionary{{"domain", Value("QuorvelActionErrorDomain")}, {"code", Value(code)}})}};
}

inline Dictionary posixErrorReply(int code, const std::string& description) {
    return Dictionary{{"error", Value(Dictionary{{"domain", Value("NSPOSIXErrorDomain")},
                                                 {"code", Value(std::int64_t{code})},
                                                 {"description", Value(description)},
                                                 {"suggestion", Value("")}})}};
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

} // namespace service_test
