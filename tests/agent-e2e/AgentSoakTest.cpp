// The QuorvelAgent program under a long run of changes: creations, modifications and deletions of job
// files in rounds (400 changes in every suite, 2,000 in a full soak), each round touching a file at most
// once, so that the rate limit and the pause that merge changes still leave exactly one report per change.
// Each round's reports are awaited (with a deadline) and compared as a multiset before the next round starts;
// a stray report shows up in the next round's comparison, and the last round's in that of a final marker
// file. Afterwards the agent's resident memory, descriptors and threads are back at their level after the
// warm-up rounds.
#include "AgentHarness.hpp"
#include "ChildProcess.hpp"
#include "FakeNotificationServer.hpp"
#include "FolderEntries.hpp"
#include "SoakLength.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <gtest/gtest.h>
#include <iostream>
#include <numeric>
#include <random>
#include <set>

namespace agent_e2e {
namespace {

const int rounds = test_support::soakLength(8, 40);
constexpr int changesPerRound = 50;
constexpr int warmUpRounds = 3;
// Of these names about two thirds exist at any time: a round creates, modifies and deletes about alike.
constexpr int names = 300;
constexpr int startingJobs = 200;
constexpr long allowanceKiB = 2048;
constexpr auto roundDeadline = 30s;
constexpr std::uint32_t seed = 13;
const std::string agentBusName = std::string(QUORVEL_MAIN_BUNDLE_IDENTIFIER) + ".QuorvelAgent";

struct Level {
    long residentKiB = 0;
    std::size_t descriptors = 0;
    std::size_t threads = 0;
};

Level levelOf(pid_t pid) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    return {test_support::statusNumber(pid, "VmRSS"), test_support::entriesIn(proc / "fd"),
            test_support::entriesIn(proc / "task")};
}

std::ostream& operator<<(std::ostream& out, const Level& level) {
    return out << level.residentKiB << " kB resident, " << level.descriptors << " descriptors, "
               << level.threads << " threads";
}

std::string name(int index) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "soak-%03d.plist", index);
    return text.data();
}

// Every version of a job has the same size: a change written in place is told by its contents alone.
std::string jobText(int index, unsigned version) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%010u", version);
    return jobPlist("app.soak." + std::to_string(index),
                    "<key>Version</key>\n<string>" + std::string(text.data()) + "</string>\n");
}

// Over the old bytes in one write, keeping the file (same inode, same size).
void overwriteInPlace(const fs::path& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    const auto written = ::pwrite(fd, text.data(), text.size(), 0);
    ::close(fd);
    ASSERT_EQ(written, static_cast<ssize_t>(text.size())) << path;
}

std::vector<std::string> difference(const std::vector<std::string>& from,
                                    const std::vector<std::string>& less) {
    std::vector<std::string> result;
    std::set_difference(from.begin(), from.end(), less.begin(), less.end(), std::back_inserter(result));
    return result;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += "\n  " + line;
    }
    return text;
}

class AgentSoak : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(home_.agents());
        for (int index = 0; index < startingJobs; ++index) {
            writeFile(home_.agents() / name(index), jobText(index, nextVersion_++));
            exists_.insert(index);
        }
        bus_ = std::make_unique<PrivateBus>();
        server_ =
            std::make_unique<FakeNotificationServer>(bus_->address(), std::vector<std::string>{"actions"});
        // What stays resident should be what the agent keeps: freed memory goes back at once rather than
        // into AddressSanitizer's quarantine, GLib's objects come from malloc, and allocations record one
        // frame, since the sanitizer keeps every distinct allocation stack for good (GLib's main loop makes
        // new ones all along: about 1 MB over this run). A leak still fails the run at exit; rerun without
        // malloc_context_size=1 to see where it was made.
        agent_ = home_.startAgent(bus_->address(),
                                  {{"ASAN_OPTIONS", home_.environment(bus_->address()).at("ASAN_OPTIONS") +
                                                        ":quarantine_size_mb=0:malloc_context_size=1"},
                                   {"G_SLICE", "always-malloc"}});
        ASSERT_TRUE(test_support::waitFor(
            [&] { return server_->nameHasOwner(agentBusName) || !agent_->running(); }, roundDeadline));
        ASSERT_TRUE(agent_->running()) << readFile(home_.root() / "logs/agent.err");
    }

    void TearDown() override {
        if (agent_ && agent_->running()) {
            agent_->signal(SIGTERM);
            const auto status = agent_->waitExit(roundDeadline);
            ASSERT_TRUE(status.has_value()) << "the agent did not end on SIGTERM";
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
        }
        agent_.reset();
        EXPECT_EQ(home_.sanitizerReports(), "");
        EXPECT_EQ(readFile(home_.root() / "logs/agent.err"), "");
        server_.reset();
        bus_.reset();
    }

    // One round: each chosen file created, modified (in place or replaced) or deleted, once. Returns the
    // reports it must give.
    std::vector<std::string> change(std::mt19937& random) {
        std::vector<int> order(names);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), random);
        std::vector<std::string> expected;
        for (int k = 0; k < changesPerRound; ++k) {
            const int index = order[static_cast<std::size_t>(k)];
            const auto path = home_.agents() / name(index);
            const auto choice = random() % 4;
            if (!exists_.contains(index)) {
                replaceFile(path, jobText(index, nextVersion_++));
                exists_.insert(index);
                expected.push_back("New: " + home_.shown(name(index)));
            } else if (choice < 2) {
                fs::remove(path);
                exists_.erase(index);
                expected.push_back("Deleted: " + home_.shown(name(index)));
            } else {
                if (choice == 2) {
                    overwriteInPlace(path, jobText(index, nextVersion_++));
                } else {
                    replaceFile(path, jobText(index, nextVersion_++));
                }
                expected.push_back("Modified: " + home_.shown(name(index)));
            }
        }
        std::sort(expected.begin(), expected.end());
        return expected;
    }

    // Waits for as many reports as expected after those seen so far and compares them; the server then
    // lets them expire, as a server does after a while, so the agent may forget their ids.
    bool expectReports(const std::vector<std::string>& expected, const std::string& what) {
        const auto want = seen_ + expected.size();
        test_support::waitFor([&] { return server_->calls().size() >= want; }, roundDeadline);
        const auto calls = server_->calls();
        const auto end = std::min(want, calls.size());
        std::vector<std::string> got;
        for (auto i = seen_; i < end; ++i) {
            got.push_back(calls[i].body);
            server_->expire(calls[i].id);
        }
        seen_ = end;
        std::sort(got.begin(), got.end());
        const bool same = got == expected;
        EXPECT_TRUE(same) << what << ": missing" << joined(difference(expected, got)) << "\nunexpected"
                          << joined(difference(got, expected));
        return same;
    }

    AgentHome home_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<FakeNotificationServer> server_;
    std::unique_ptr<Child> agent_;
    std::set<int> exists_;
    unsigned nextVersion_ = 0;
    std::size_t seen_ = 0;
};

TEST_F(AgentSoak, EveryChangeIsReportedOnceAndTheAgentReturnsToItsLevel) {
    const pid_t pid = agent_->pid();
    std::mt19937 random(seed);
    Level base;
    long highestKiB = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        const auto expected = change(random);
        ASSERT_TRUE(expectReports(expected, "round " + std::to_string(round)));
        const auto level = levelOf(pid);
        highestKiB = std::max(highestKiB, level.residentKiB);
        if (round + 1 == warmUpRounds) {
            base = level;
            std::cout << "after " << warmUpRounds << " rounds: " << base << std::endl;
        } else if ((round + 1) % 10 == 0) {
            std::cout << "after " << round + 1 << " rounds: " << level << std::endl;
        }
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::cout << rounds * changesPerRound << " changes in " << elapsed.count() << " ms" << std::endl;

    // Nothing reported late: the next change is the only report.
    replaceFile(home_.agents() / "marker.plist", jobPlist("marker"));
    ASSERT_TRUE(expectReports({"New: " + home_.shown("marker.plist")}, "the marker"));

    Level last;
    test_support::waitFor(
        [&] {
            last = levelOf(pid);
            return last.residentKiB <= base.residentKiB + allowanceKiB &&
                   last.descriptors <= base.descriptors && last.threads <= base.threads;
        },
        roundDeadline);
    std::cout << "at the end: " << last << "; highest " << highestKiB << " kB resident" << std::endl;
    RecordProperty("BaseResidentKiB", std::to_string(base.residentKiB));
    RecordProperty("LastResidentKiB", std::to_string(last.residentKiB));
    RecordProperty("HighestResidentKiB", std::to_string(highestKiB));
    EXPECT_LE(last.residentKiB, base.residentKiB + allowanceKiB) << "from " << base << " to " << last;
    EXPECT_LE(last.descriptors, base.descriptors) << "from " << base << " to " << last;
    EXPECT_LE(last.threads, base.threads) << "from " << base << " to " << last;
}

} // namespace
} // namespace agent_e2e
