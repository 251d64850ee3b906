#pragma once

#include "ChildProcess.hpp"
#include "PrivateBus.hpp"
#include "TempFolder.hpp"
#include "WaitFor.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace agent_e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::Child;
using test_support::PrivateBus;

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// A home folder and XDG folders of their own, with a scheme handler and a main-application entry that
// record what they are asked to open; and the agent program run in them.
class AgentHome {
public:
    AgentHome()
        : root_("quorvel-agent-e2e") {
        for (const char* folder : {"home", "config", "data/applications", "sysdata", "sysconfig", "cache",
                                   "runtime", "sanitizer", "logs"}) {
            fs::create_directories(root_.path() / folder);
        }
        fs::permissions(root_.path() / "runtime", fs::perms::owner_all, fs::perm_options::replace);
        const auto opener = root_.path() / "open-url";
        writeFile(opener,
                  "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + (root_.path() / "opened.txt").string() + "'\n");
        const auto launcher = root_.path() / "launch-app";
        writeFile(launcher,
                  "#!/bin/sh\necho launched >> '" + (root_.path() / "launched.txt").string() + "'\n");
        fs::permissions(opener, fs::perms::owner_all);
        fs::permissions(launcher, fs::perms::owner_all);
        const auto applications = root_.path() / "data/applications";
        writeFile(applications / "job-url-recorder.desktop",
                  "[Desktop Entry]\nType=Application\nName=Job URL recorder\nExec=" + opener.string() +
                      " %u\nMimeType=x-scheme-handler/" QUORVEL_JOB_SCHEME ";\nNoDisplay=true\n");
        writeFile(applications / (std::string(QUORVEL_MAIN_BUNDLE_IDENTIFIER) + ".desktop"),
                  "[Desktop Entry]\nType=Application\nName=Quorvel\nExec=" + launcher.string() + "\n");
        // Without a MIME cache the entry's MimeType= is not found; the default is named here.
        writeFile(root_.path() / "config/mimeapps.list",
                  "[Default Applications]\nx-scheme-handler/" QUORVEL_JOB_SCHEME
                  "=job-url-recorder.desktop\n");
    }

    fs::path root() const { return root_.path(); }
    fs::path home() const { return root_.path() / "home"; }
    fs::path agents() const { return home() / "Library/LaunchAgents"; }
    fs::path exceptionsFolder() const { return home() / "Library/Application Support/Quorvel"; }
    std::string shown(const std::string& name) const { return "~/Library/LaunchAgents/" + name; }
    fs::path standardOutput() const { return root_.path() / "logs/agent.out"; }

    std::map<std::string, std::string> environment(const std::string& busAddress) const {
        const auto r = root_.path();
        return {
            {"HOME", home().string()},
            {"XDG_CONFIG_HOME", (r / "config").string()},
            {"XDG_DATA_HOME", (r / "data").string()},
            {"XDG_DATA_DIRS", (r / "sysdata").string()},
            {"XDG_CONFIG_DIRS", (r / "sysconfig").string()},
            {"XDG_CACHE_HOME", (r / "cache").string()},
            {"XDG_RUNTIME_DIR", (r / "runtime").string()},
            {"DBUS_SESSION_BUS_ADDRESS", busAddress},
            {"PATH", "/usr/bin:/bin"},
            {"LANG", "C.UTF-8"},
            {"GIO_USE_VFS", "local"},
            {"ASAN_OPTIONS", "log_path=" + (r / "sanitizer/asan").string()},
            {"UBSAN_OPTIONS", "print_stacktrace=1:log_path=" + (r / "sanitizer/ubsan").string()},
            {"TSAN_OPTIONS", "log_path=" + (r / "sanitizer/tsan").string()},
        };
    }

    std::unique_ptr<Child> startAgent(const std::string& busAddress,
                                      const std::map<std::string, std::string>& extra = {}) const {
        auto variables = environment(busAddress);
        for (const auto& [key, value] : extra) {
            variables[key] = value;
        }
        return std::make_unique<Child>(std::vector<std::string>{QUORVEL_AGENT_PROGRAM}, variables,
                                       standardOutput(), root_.path() / "logs/agent.err");
    }

    // What the sanitizers wrote, if anything.
    std::string sanitizerReports() const {
        std::string reports;
        for (const auto& entry : fs::directory_iterator(root_.path() / "sanitizer")) {
            reports += entry.path().filename().string() + ":\n" + readFile(entry.path());
        }
        return reports;
    }
    std::vector<std::string> lines(const fs::path& file) const {
        std::vector<std::string> result;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) {
            result.push_back(line);
        }
        return result;
    }
    std::vector<std::string> openedURLs() const { return lines(root_.path() / "opened.txt"); }
    std::size_t launches() const { return lines(root_.path() / "launched.txt").size(); }
    std::vector<std::string> printed() const { return lines(standardOutput()); }

private:
    test_support::TempFolder root_;
};

inline std::string jobPlist(const std::string& label, const std::string& extra = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
           "version=\"1.0\">\n<dict>\n<key>Label</key>\n<string>" +
           label + "</string>\n" + extra + "</dict>\n</plist>\n";
}

inline std::string exceptionsPlist(const std::vector<std::string>& labels) {
    std::string items;
    for (const auto& label : labels) {
        items += "<string>" + label + "</string>\n";
    }
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
           "version=\"1.0\">\n<dict>\n<key>Exceptions</key>\n<array>\n" +
           items + "</array>\n</dict>\n</plist>\n";
}

// Written aside and renamed into place, as an editor saves.
inline void replaceFile(const fs::path& path, const std::string& text) {
    const auto aside = path.parent_path() / ("." + path.filename().string() + ".new");
    writeFile(aside, text);
    fs::rename(aside, path);
}

} // namespace agent_e2e
