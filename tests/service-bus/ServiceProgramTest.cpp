// The Quorvel5XPCAction program as a person or a packager starts it, and its log as the journal sees it.
#include "ProgramRun.hpp"
#include "SyslogSystemLog.hpp"
#include "TempFolder.hpp"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_support::runProgram;

std::map<std::string, std::string> environment(const test_support::TempFolder& folder) {
    return {{"PATH", "/usr/bin:/bin"},
            {"HOME", folder.path().string()},
            {"XDG_RUNTIME_DIR", folder.path().string()},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder / "no-bus-here")}};
}

TEST(ServiceProgram, AnswersHelpVersionAndMisuse) {
    test_support::TempFolder folder("quorvel-service-program");
    const auto help = runProgram({QUORVEL_SERVICE_PROGRAM, "--help"}, environment(folder));
    EXPECT_TRUE(help.exitedWith(0)) << help.err;
    EXPECT_EQ(help.out.rfind("Usage: Quorvel5XPCAction [--help | --version]\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    EXPECT_EQ(help.err, "");

    const auto version = runProgram({QUORVEL_SERVICE_PROGRAM, "--version"}, environment(folder));
    EXPECT_TRUE(version.exitedWith(0)) << version.err;
    EXPECT_EQ(version.out, "Quorvel5XPCAction " QUORVEL_VERSION "\n");
    EXPECT_EQ(version.err, "");

    // Misuse is answered before the bus is looked for: the usage on standard error, status 2.
    const auto misuse = runProgram({QUORVEL_SERVICE_PROGRAM, "--bogus"}, environment(folder));
    EXPECT_TRUE(misuse.exitedWith(2)) << misuse.err;
    EXPECT_EQ(misuse.out, "");
    EXPECT_EQ(misuse.err, "Quorvel5XPCAction: unknown option '--bogus'\n" + help.out);
}

TEST(ServiceProgram, WithoutASessionBusSaysSoAndFails) {
    test_support::TempFolder folder("quorvel-service-program");
    // Started by hand: the session bus.
    const auto byHand = runProgram({QUORVEL_SERVICE_PROGRAM}, environment(folder));
    EXPECT_TRUE(byHand.waitStatus && WIFEXITED(*byHand.waitStatus) && WEXITSTATUS(*byHand.waitStatus) != 0)
        << "wait status " << byHand.waitStatus.value_or(-1);
    EXPECT_NE(byHand.err.find("Quorvel5XPCAction: no bus"), std::string::npos) << byHand.err;
    EXPECT_EQ(std::count(byHand.err.begin(), byHand.err.end(), '\n'), 1) << byHand.err;
    EXPECT_EQ(byHand.out, "");

    // Started by a bus that is gone by the time it connects.
    auto activated = environment(folder);
    activated["DBUS_STARTER_BUS_TYPE"] = "session";
    activated["DBUS_STARTER_ADDRESS"] = "unix:path=" + (folder / "gone-bus");
    const auto started = runProgram({QUORVEL_SERVICE_PROGRAM}, activated);
    EXPECT_TRUE(started.waitStatus && WIFEXITED(*started.waitStatus) && WEXITSTATUS(*started.waitStatus) != 0)
        << "wait status " << started.waitStatus.value_or(-1);
    EXPECT_NE(started.err.find("Quorvel5XPCAction: no bus"), std::string::npos) << started.err;

    // Started by a bus that is not a session bus, whose callers may be other users: refused before it
    // connects, whether or not that bus is there.
    for (const char* type : {"system", "", "session\n"}) {
        activated["DBUS_STARTER_BUS_TYPE"] = type;
        const auto other = runProgram({QUORVEL_SERVICE_PROGRAM}, activated);
        EXPECT_TRUE(other.exitedWith(1)) << other.err;
        EXPECT_NE(other.err.find("Quorvel5XPCAction: serves only a session bus"), std::string::npos)
            << other.err;
        EXPECT_EQ(std::count(other.err.begin(), other.err.end(), '\n'), 1) << other.err;
    }
    // A private bus that states no kind is taken like a session bus: this one is gone, so no bus.
    activated.erase("DBUS_STARTER_BUS_TYPE");
    const auto unstated = runProgram({QUORVEL_SERVICE_PROGRAM}, activated);
    EXPECT_TRUE(unstated.exitedWith(1)) << unstated.err;
    EXPECT_NE(unstated.err.find("Quorvel5XPCAction: no bus"), std::string::npos) << unstated.err;
}

// Standard error pointed into a file for the life of the object, then given back.
class StandardErrorInFile {
public:
    explicit StandardErrorInFile(const std::string& path) {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(file, STDERR_FILENO);
        ::close(file);
    }
    ~StandardErrorInFile() {
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    StandardErrorInFile(const StandardErrorInFile&) = delete;
    StandardErrorInFile& operator=(const StandardErrorInFile&) = delete;

private:
    int saved_ = -1;
};

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whatever the journal's variable says, a line reaches the journal once: through syslog alone when
// standard error is the journal, and on standard error too when it is anything else.
TEST(SyslogSystemLog, WritesStandardErrorUnlessItIsTheJournal) {
    test_support::TempFolder folder("quorvel-system-log");
    const std::string journal = folder / "journal";
    const std::string other = folder / "other";
    std::ofstream(journal).put('\n');
    std::ofstream(other).put('\n');
    auto identity = [](const std::string& path) {
        struct stat status {};
        ::stat(path.c_str(), &status);
        return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    };
    auto logged = [&](const char* journalStream) {
        {
            StandardErrorInFile redirected(journal); // truncated, the same file
            action_service::SyslogSystemLog log(journalStream);
            action_service::SystemLog& seam = log;
            seam.write("Not a valid helper tool");
        }
        return contents(journal);
    };
    const std::string line = "Quorvel5XPCAction: Not a valid helper tool\n";
    const std::string journalStream = identity(journal);

    EXPECT_EQ(logged(nullptr), line);
    EXPECT_EQ(logged(journalStream.c_str()), "");
    // Inherited from a parent whose standard error was the journal, or not what the journal writes.
    EXPECT_EQ(logged(identity(other).c_str()), line);
    for (const std::string& malformed : {journalStream + "x", ":" + journalStream, std::string(""),
                                         journalStream.substr(0, journalStream.find(':')),
                                         "-" + journalStream, std::string("99999999999999999999999:1")}) {
        EXPECT_EQ(logged(malformed.c_str()), line) << malformed;
    }
}

} // namespace
