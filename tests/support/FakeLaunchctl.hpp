#pragma once

#include "TempFolder.hpp"

#include <algorithm>
#include <cstddef>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace test_support {

// Drives tests/support/fake-launchctl (its header comment describes the files). Each object owns a
// record folder and a small program that runs the fake with FAKE_LAUNCHCTL_DIR set to that folder, so
// tests need not touch their own environment. A service started by a test can instead inherit
// FAKE_LAUNCHCTL_DIR=folder() and run script() directly.
class FakeLaunchctl {
public:
    // programName may hold blanks or quotes: the program is written under that name.
    explicit FakeLaunchctl(const std::string& programName = "launchctl")
        : records_("fake-launchctl")
        , programFolder_("fake-launchctl-program") {
        program_ = programFolder_ / programName;
        std::ofstream out(program_, std::ios::binary);
        out << "#!/bin/sh\nFAKE_LAUNCHCTL_DIR=" << shellQuoted(folder()) << " exec " << shellQuoted(script())
            << " \"$@\"\n";
        out.close();
        ::chmod(program_.c_str(), 0755);
        // Held calls wait for a shared lock of this file; close-on-exec, so no process a test starts
        // keeps the lock after release().
        gate_ = ::open((records_.path() / "gate").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (gate_ < 0 || ::flock(gate_, LOCK_EX) != 0) {
            throw std::runtime_error("cannot lock the fake launchctl's gate");
        }
    }
    ~FakeLaunchctl() { openGate(); }
    FakeLaunchctl(const FakeLaunchctl&) = delete;
    FakeLaunchctl& operator=(const FakeLaunchctl&) = delete;

    static std::string script() { return QUORVEL_FAKE_LAUNCHCTL; }
    const std::string& program() const { return program_; }
    std::string folder() const { return records_.path().string(); }

    void setStatus(const std::string& subcommand, int status) {
        write("status." + subcommand, std::to_string(status) + "\n");
    }
    void setOutput(const std::string& subcommand, const std::string& text) {
        write("out." + subcommand, text);
    }
    void setError(const std::string& subcommand, const std::string& text) {
        write("err." + subcommand, text);
    }
    void hold(const std::string& subcommand) { write("hold." + subcommand, ""); }
    void release() {
        write("release", "");
        openGate();
    }

    // Argument vectors (without the program) of the finished records, in call order.
    std::vector<std::vector<std::string>> calls() const {
        std::vector<std::vector<std::string>> result;
        for (const auto& name : recordNames("call.")) {
            std::string bytes = readAll(records_.path() / ("args." + name.substr(5)));
            std::vector<std::string> arguments;
            std::size_t start = 0;
            for (std::size_t nul; (nul = bytes.find('\0', start)) != std::string::npos; start = nul + 1) {
                arguments.push_back(bytes.substr(start, nul - start));
            }
            result.push_back(std::move(arguments));
        }
        return result;
    }
    std::size_t callCount() const { return recordNames("call.").size(); }
    std::size_t startedCount() const { return recordNames("started.").size(); }
    std::size_t finishedCount() const { return recordNames("finished.").size(); }

    // The open descriptors of call number `call` (from 0) as (number, target).
    std::vector<std::pair<int, std::string>> descriptors(std::size_t call) const {
        std::vector<std::pair<int, std::string>> result;
        std::istringstream lines(readAll(records_.path() / ("fds." + number(call))));
        for (std::string line; std::getline(lines, line);) {
            auto blank = line.find(' ');
            result.emplace_back(std::stoi(line.substr(0, blank)), line.substr(blank + 1));
        }
        return result;
    }
    // The SigBlk and SigIgn lines the call saw in its own status.
    std::string signals(std::size_t call) const {
        return readAll(records_.path() / ("signals." + number(call)));
    }

    static std::string shellQuoted(const std::string& text) {
        std::string quoted = "'";
        for (char c : text) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        return quoted + "'";
    }

private:
    static std::string number(std::size_t call) {
        std::string digits = std::to_string(call);
        return std::string(6 - std::min<std::size_t>(6, digits.size()), '0') + digits;
    }
    static std::string readAll(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> recordNames(const std::string& prefix) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(records_.path())) {
            std::string name = entry.path().filename().string();
            if (name.rfind(prefix, 0) == 0) {
                names.push_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    void write(const std::string& name, const std::string& text) {
        // Written aside and renamed, so the fake never reads half a file.
        auto temporary = records_.path() / (".tmp." + name);
        {
            std::ofstream out(temporary, std::ios::binary);
            out << text;
        }
        std::filesystem::rename(temporary, records_.path() / name);
    }

    void openGate() {
        if (gate_ >= 0) {
            ::flock(gate_, LOCK_UN);
            ::close(gate_);
            gate_ = -1;
        }
    }

    TempFolder records_;
    TempFolder programFolder_;
    std::string program_;
    int gate_ = -1;
};

} // namespace test_support
