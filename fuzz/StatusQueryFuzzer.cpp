// Arbitrary labels through the status query, run by /bin/sh as the service runs it, against recording
// fakes of launchctl and grep: exactly one `launchctl list` and one grep run, and grep gets the label as
// one pattern (after -e, or alone when it is plain), never as an option or as two patterns.
#include "Controller.hpp"
#include "PosixFileSystem.hpp"
#include "PosixProcessRunner.hpp"
#include "RefusingAuthority.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace action_service;
namespace fs = std::filesystem;

constexpr std::string_view realGrep = "/usr/bin/grep ";

// Sends the status query's grep to the recording fake; everything else runs as it is.
class RedirectingRunner final : public ProcessRunner {
public:
    explicit RedirectingRunner(std::string fakeGrep)
        : fakeGrep_(std::move(fakeGrep)) {}
    Exit run(const std::string& program, const std::vector<std::string>& arguments) override {
        return real_.run(program, arguments);
    }
    Output capture(const std::string& program, const std::vector<std::string>& arguments,
                   std::size_t limit) override {
        std::vector<std::string> redirected = arguments;
        if (redirected.size() == 3 && redirected[1] == "-c") {
            const auto at = redirected[2].find(realGrep);
            if (at == std::string::npos) {
                std::abort(); // the query no longer pipes into grep
            }
            redirected[2].replace(at, realGrep.size() - 1, fakeGrep_);
        }
        return real_.capture(program, redirected, limit);
    }

private:
    PosixProcessRunner real_;
    std::string fakeGrep_;
};

class SilentLog final : public SystemLog {
public:
    void write(std::string_view) override {}
};

class NoExit final : public ProcessExit {
public:
    void exit() override { std::abort(); }
};

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeScript(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms::owner_all);
}

// Each fake appends its argument vector, NUL-separated and closed by a line feed, to its own log.
struct Fakes {
    fs::path folder;
    fs::path launchctl, grep, launchctlLog, grepLog;

    Fakes() {
        char pattern[] = "/tmp/status-query-fuzz-XXXXXX";
        folder = ::mkdtemp(pattern);
        launchctl = folder / "launchctl";
        grep = folder / "grep";
        launchctlLog = folder / "launchctl.log";
        grepLog = folder / "grep.log";
        writeScript(launchctl, "#!/bin/sh\nprintf '%s\\0' \"$@\" >> '" + launchctlLog.string() +
                                   "'\necho >> '" + launchctlLog.string() +
                                   "'\necho '1\t0\tcom.example.job'\n");
        writeScript(grep, "#!/bin/sh\nprintf '%s\\0' \"$@\" >> '" + grepLog.string() + "'\necho >> '" +
                              grepLog.string() + "'\ncat\n");
    }
    ~Fakes() { fs::remove_all(folder); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fakes fakes;
    static RedirectingRunner runner(fakes.grep.string());
    static PosixFileSystem files;
    static fuzz_support::RefusingAuthority authority;
    static SilentLog log;
    static NoExit exit;
    static Controller controller(Platform{runner, files, authority, log, exit}, fakes.launchctl.string());

    const std::string label(reinterpret_cast<const char*>(data), size);
    fs::remove(fakes.launchctlLog);
    fs::remove(fakes.grepLog);
    controller.runTestCommand(Controller::TestCommand::number, label);

    const std::string launchctlCalls = readAll(fakes.launchctlLog);
    const std::string grepCalls = readAll(fakes.grepLog);
    if (label.empty() || label.find_first_of(std::string("\n\0", 2)) != std::string::npos) {
        // Such a label names no job: nothing runs.
        if (!launchctlCalls.empty() || !grepCalls.empty()) {
            std::abort();
        }
        return 0;
    }
    if (launchctlCalls != std::string("list\0\n", 6)) {
        std::abort();
    }
    const std::string plain = label + std::string("\0\n", 2);
    const std::string afterOption = std::string("-e\0", 3) + label + std::string("\0\n", 2);
    if (grepCalls != afterOption && (grepCalls != plain || label.front() == '-')) {
        std::abort();
    }
    return 0;
}
