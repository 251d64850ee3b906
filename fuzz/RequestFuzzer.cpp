// Bytes as the body of a RunAction call, received by the bus library as the service receives it, read
// into the request (MessageValue) and run through runAction, with fakes for every
// platform service so that nothing real is touched. At most one reply, of a documented shape and valid
// UTF-8; every log line one valid line; no file operation on a path the request did not name; no
// launchctl argument that reads as an option.
#include "Controller.hpp"
#include "MessageValue.hpp"
#include "ReceivedMessage.hpp"
#include "RefusingAuthority.hpp"
#include "Utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <set>
#include <span>
#include <string>
#include <vector>

// The request's fixed waits (0.1 s and 0.3 s) are not what is searched here.
extern "C" int nanosleep(const timespec*, timespec*) {
    return 0;
}

namespace {

using namespace action_service;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Every path a file operation was asked for, to compare with those the request named.
struct Touched {
    std::vector<std::string> paths;
};

class FakeFiles final : public FileSystem {
public:
    explicit FakeFiles(Touched& touched)
        : touched_(touched) {}
    bool exists(const std::string& path) override {
        touched_.paths.push_back(path);
        return path.size() % 2 == 0;
    }
    std::optional<PlatformError> writeAtomically(const std::string& path, std::string_view) override {
        touched_.paths.push_back(path);
        return std::nullopt;
    }
    std::optional<PlatformError> remove(const std::string& path) override {
        touched_.paths.push_back(path);
        return path.size() % 3 == 0 ? std::optional(errorFor(2)) : std::nullopt;
    }
    std::variant<Head, PlatformError> read(const std::string& path, std::size_t limit) override {
        touched_.paths.push_back(path);
        std::string bytes = "output \xC3\xA9 of " + path;
        const std::uint64_t size = bytes.size() + (path.size() % 5 == 0 ? 100'000'000 : 0);
        bytes.resize(std::min(bytes.size(), limit));
        return Head{bytes, size};
    }
    PlatformError errorFor(int code) override { return {"NSPOSIXErrorDomain", code, "Failed", ""}; }

private:
    Touched& touched_;
};

class FakeProcesses final : public ProcessRunner {
public:
    Exit run(const std::string&, const std::vector<std::string>& arguments) override {
        check(arguments);
        return {std::nullopt, static_cast<int>(arguments.back().size() % 2)};
    }
    Output capture(const std::string&, const std::vector<std::string>& arguments,
                   std::size_t limit) override {
        check(arguments);
        std::string bytes = arguments.back().size() % 2 == 0 ? "" : "78\n";
        bytes.resize(std::min(bytes.size(), limit));
        return {std::nullopt, bytes, bytes.size()};
    }

private:
    static void check(const std::vector<std::string>& arguments) {
        // launchctl <sub-command> [-w] <argument>: the argument is never an option.
        require(arguments.size() >= 2);
        if (arguments[1] != "-c") {
            require(arguments.back().empty() || arguments.back().front() != '-' || arguments[1] == "error");
        }
    }
};

class CheckingLog final : public SystemLog {
public:
    void write(std::string_view line) override {
        require(isValidUtf8(std::string(line)));
        require(std::none_of(line.begin(), line.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F;
        }));
    }
};

class CountingExit final : public ProcessExit {
public:
    void exit() override { ++exits; }
    int exits = 0;
};

bool isText(const Value* value) {
    return value != nullptr && value->string() != nullptr && isValidUtf8(*value->string());
}

void requireDocumentedShape(const Dictionary& reply) {
    if (reply.empty()) {
        return;
    }
    require(reply.size() == 1);
    if (const auto test = reply.find("test"); test != reply.end()) {
        require(isText(&test->second));
        return;
    }
    const auto error = reply.find("error");
    require(error != reply.end() && error->second.dictionary() != nullptr);
    const Dictionary& fields = *error->second.dictionary();
    const auto domain = fields.find("domain");
    const auto code = fields.find("code");
    require(domain != fields.end() && isText(&domain->second));
    require(code != fields.end() && code->second.integer() != nullptr);
    for (const auto& [key, value] : fields) {
        require(key == "domain" || key == "code" || key == "description" || key == "suggestion");
        require(key == "code" || isText(&value));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const service_bus::ReceivedMessage received(
        service_bus::ReceivedMessage::runActionCall(std::span<const std::uint8_t>(data, size)));
    if (received.get() == nullptr) {
        return 0;
    }
    // A body that is not an a{sv} is refused; one that is gives the request, or nothing when it breaks off.
    const std::optional<ReadRequest> read = readRequest(received.get());
    if (!read) {
        return 0;
    }
    const Dictionary& request = read->request;

    Touched touched;
    FakeFiles files(touched);
    FakeProcesses processes;
    fuzz_support::RefusingAuthority authority;
    CheckingLog log;
    CountingExit exit;
    Controller controller(Platform{processes, files, authority, log, exit}, "/fake/launchctl",
                          HelperToolFolders{"/fake/LaunchDaemons/", "/fake/PrivilegedHelperTools/"});
    int replies = 0;
    controller.runActionWith(request, [&](Dictionary reply) {
        ++replies;
        requireDocumentedShape(reply);
    });
    require(replies <= 1 && exit.exits <= 1);

    std::set<std::string> named = {"/fake/LaunchDaemons/" + helperToolName() + ".plist",
                                   "/fake/PrivilegedHelperTools/" + helperToolName()};
    for (const char* key : {"path", "deletePath", "testPath", "testOutputPath"}) {
        if (const std::string* path = readString(request, key)) {
            named.insert(*path);
        }
    }
    for (const auto& path : touched.paths) {
        require(named.count(path) == 1);
    }
    return 0;
}
