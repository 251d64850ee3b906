// The QuorvelAgent program end to end: a temporary home, a private session bus with a fake notification
// server, and the real program. Every wait has a deadline; "nothing happened" is proved by a later change
// that is reported, with nothing else before it.
#include "AgentHarness.hpp"
#include "FakeNotificationServer.hpp"

#include <algorithm>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>

namespace agent_e2e {
namespace {

// Change checks come 1.3 s after a report; generous for a loaded machine.
constexpr auto eventDeadline = 20s;
const std::string agentBusName = std::string(QUORVEL_MAIN_BUNDLE_IDENTIFIER) + ".QuorvelAgent";

std::string base64(const std::string& bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            group = (group << 8) | (i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        }
        const std::size_t present = std::min<std::size_t>(3, bytes.size() - i);
        for (std::size_t k = 0; k < 4; ++k) {
            out += k <= present ? alphabet[(group >> (18 - 6 * k)) & 63u] : '=';
        }
    }
    return out;
}

class AgentEndToEnd : public ::testing::Test {
protected:
    void startBus(std::vector<std::string> capabilities = {"actions", "body"}, bool withServer = true,
                  ServerBehaviour behaviour = {}) {
        bus_ = std::make_unique<PrivateBus>();
        server_ = std::make_unique<FakeNotificationServer>(bus_->address(), std::move(capabilities),
                                                           withServer, behaviour);
    }

    // Starts the agent and waits until it holds its bus name, which it asks for once it watches.
    void startAgent(const std::map<std::string, std::string>& extra = {}) {
        agent_ = home_.startAgent(bus_->address(), extra);
        ASSERT_TRUE(test_support::waitFor(
            [&] { return server_->nameHasOwner(agentBusName) || !agent_->running(); }, eventDeadline));
        ASSERT_TRUE(agent_->running()) << readFile(home_.root() / "logs/agent.err");
    }

    // Waits for exactly these notification bodies (in any order) after the ones seen before; a stray
    // notification among them fails.
    std::vector<NotifyCall> expectNext(std::vector<std::string> bodies) {
        const auto want = seen_ + bodies.size();
        test_support::waitFor([&] { return server_->calls().size() >= want; }, eventDeadline);
        const auto calls = server_->calls();
        std::vector<NotifyCall> fresh(
            calls.begin() + static_cast<std::ptrdiff_t>(std::min(seen_, calls.size())), calls.end());
        if (fresh.size() > bodies.size()) {
            fresh.resize(bodies.size());
        }
        seen_ += fresh.size();
        std::vector<std::string> got;
        for (const auto& call : fresh) {
            got.push_back(call.body);
        }
        std::sort(got.begin(), got.end());
        std::sort(bodies.begin(), bodies.end());
        EXPECT_EQ(got, bodies);
        return fresh;
    }

    const NotifyCall& find(const std::vector<NotifyCall>& calls, const std::string& body) {
        const auto found =
            std::find_if(calls.begin(), calls.end(), [&](const auto& c) { return c.body == body; });
        if (found == calls.end()) {
            throw std::runtime_error("no notification " + body);
        }
        return *found;
    }

    // Nothing after the notifications expected so far.
    void expectNoMore() {
        server_->sync();
        EXPECT_EQ(server_->calls().size(), seen_);
    }

    // Waits for a standard-output line of the agent.
    bool waitPrinted(const std::string& line, std::chrono::milliseconds deadline = eventDeadline) {
        return test_support::waitFor(
            [&] {
                const auto lines = home_.printed();
                return std::find(lines.begin(), lines.end(), line) != lines.end();
            },
            deadline);
    }

    void TearDown() override {
        if (agent_ && agent_->running()) {
            agent_->signal(SIGTERM);
            const auto status = agent_->waitExit(eventDeadline);
            ASSERT_TRUE(status.has_value()) << "the agent did not end on SIGTERM";
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
        }
        agent_.reset();
        EXPECT_EQ(home_.sanitizerReports(), "");
        server_.reset();
        bus_.reset();
    }

    AgentHome home_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<FakeNotificationServer> server_;
    std::unique_ptr<Child> agent_;
    std::size_t seen_ = 0;
};

TEST_F(AgentEndToEnd, ReportsNewTouchedModifiedDeletedAndRenamedJobsAndOpensThem) {
    fs::create_directories(home_.agents());
    writeFile(home_.agents() / "existing.plist", jobPlist("existing"));
    startBus();
    startAgent();

    const auto job = home_.agents() / "x.plist";
    writeFile(job, jobPlist("x"));
    auto calls = expectNext({"New: " + home_.shown("x.plist")});
    EXPECT_EQ(calls[0].appName, "Quorvel");
    EXPECT_EQ(calls[0].summary, "Quorvel");
    EXPECT_EQ(calls[0].actions, (std::vector<std::string>{"default", "Open"}));
    // Named after the main application: its icon and its desktop entry.
    EXPECT_EQ(calls[0].appIcon, QUORVEL_MAIN_BUNDLE_IDENTIFIER);
    EXPECT_EQ(calls[0].desktopEntry, QUORVEL_MAIN_BUNDLE_IDENTIFIER);

    // Another action, and another client's id, are not activations; the default action of ours is.
    server_->invokeAction(calls[0].id, "other");
    server_->invokeAction(calls[0].id + 1000, "default");
    server_->invokeAction(calls[0].id, "default");
    ASSERT_TRUE(test_support::waitFor([&] { return !home_.openedURLs().empty(); }, eventDeadline));
    EXPECT_EQ(home_.openedURLs(),
              std::vector<std::string>{std::string(QUORVEL_JOB_SCHEME) + "://" + base64(job.string())});
    EXPECT_EQ(home_.launches(), 0u);

    // Touched: a new date, the same bytes. The marker after it is the only report.
    fs::last_write_time(job, fs::last_write_time(job) + 5s);
    writeFile(home_.agents() / "marker.plist", jobPlist("marker"));
    expectNext({"New: " + home_.shown("marker.plist")});

    writeFile(job, jobPlist("x", "<key>RunAtLoad</key>\n<true/>\n"));
    expectNext({"Modified: " + home_.shown("x.plist")});

    fs::remove(job);
    calls = expectNext({"Deleted: " + home_.shown("x.plist")});
    server_->invokeAction(calls[0].id, "default");
    ASSERT_TRUE(test_support::waitFor([&] { return home_.launches() == 1; }, eventDeadline));
    EXPECT_EQ(home_.openedURLs().size(), 1u);

    fs::rename(home_.agents() / "marker.plist", home_.agents() / "renamed.plist");
    expectNext({"New: " + home_.shown("renamed.plist"), "Deleted: " + home_.shown("marker.plist")});
    expectNoMore();
}

// Sends ActionInvoked(id, "default") from a bus client of its own that is not the notification server:
// once to everyone, once to `destination` alone; then a round trip to `destination`, so that both have
// reached it.
void spoofActivation(const std::string& busAddress, const std::string& destination, std::uint32_t id) {
    GDBusConnection* hostile = g_dbus_connection_new_for_address_sync(
        busAddress.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(hostile, nullptr);
    for (const char* to : {static_cast<const char*>(nullptr), destination.c_str()}) {
        g_dbus_connection_emit_signal(hostile, to, "/org/freedesktop/Notifications",
                                      "org.freedesktop.Notifications", "ActionInvoked",
                                      g_variant_new("(us)", id, "default"), nullptr);
    }
    GVariant* reply =
        g_dbus_connection_call_sync(hostile, destination.c_str(), "/", "org.freedesktop.DBus.Peer", "Ping",
                                    nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
    g_dbus_connection_close_sync(hostile, nullptr, nullptr);
    g_object_unref(hostile);
}

// Only the server that returned an id may activate it: not another bus client, and not a notification
// server started later, whose ids begin again and name other clients' notifications.
TEST_F(AgentEndToEnd, OnlyTheServerThatGaveAnIdActivatesIt) {
    fs::create_directories(home_.agents());
    startBus();
    startAgent();

    const auto job = home_.agents() / "x&y.plist";
    writeFile(job, jobPlist("x"));
    const auto id = expectNext({"New: " + home_.shown("x&y.plist")})[0].id;
    const auto agentName = server_->nameOwner(agentBusName);
    ASSERT_FALSE(agentName.empty());
    spoofActivation(bus_->address(), agentName, id);

    // The server restarts; the new one hands out the same ids to others, and their activations are not ours.
    // It reads markup, which the agent learns by asking it again.
    server_.reset();
    server_ = std::make_unique<FakeNotificationServer>(bus_->address(),
                                                       std::vector<std::string>{"actions", "body-markup"});
    seen_ = 0;
    server_->invokeAction(id, "default");

    // Proved by a later activation that works, with nothing opened before it.
    fs::remove(job);
    const auto deleted = expectNext({"Deleted: " + home_.shown("x&amp;y.plist")})[0].id;
    EXPECT_EQ(server_->capabilityQueries(), 1);
    server_->invokeAction(deleted, "default");
    ASSERT_TRUE(test_support::waitFor([&] { return home_.launches() == 1; }, eventDeadline));
    EXPECT_EQ(home_.openedURLs(), std::vector<std::string>{});
}

// A server under load may announce the activation before its reply with the id has reached the agent:
// the agent holds it until the reply comes, and lets go of an activation whose id turns out not ours.
TEST_F(AgentEndToEnd, AnActivationThatOvertakesItsIdIsHeldUntilTheIdArrives) {
    fs::create_directories(home_.agents());
    startBus({"actions", "body"}, true, ServerBehaviour{0ms, true});
    startAgent();

    const std::string url = std::string(QUORVEL_JOB_SCHEME) + "://";
    writeFile(home_.agents() / "x.plist", jobPlist("x"));
    expectNext({"New: " + home_.shown("x.plist")});
    ASSERT_TRUE(test_support::waitFor([&] { return home_.openedURLs().size() == 1; }, eventDeadline));
    writeFile(home_.agents() / "y.plist", jobPlist("y"));
    expectNext({"New: " + home_.shown("y.plist")});
    ASSERT_TRUE(test_support::waitFor([&] { return home_.openedURLs().size() == 2; }, eventDeadline));
    EXPECT_EQ(home_.openedURLs(),
              (std::vector<std::string>{url + base64((home_.agents() / "x.plist").string()),
                                        url + base64((home_.agents() / "y.plist").string())}));
}

TEST_F(AgentEndToEnd, EscapesMarkupAndShowsBytesThatAreNotUtf8AsReplacementCharacters) {
    fs::create_directories(home_.agents());
    startBus({"actions", "body", "body-markup"});
    startAgent();

    const std::string oddName = "bad\xff\xfe<&>.plist";
    writeFile(home_.agents() / oddName, jobPlist("odd"));
    const auto calls = expectNext({"New: " + home_.shown("bad\xEF\xBF\xBD\xEF\xBF\xBD&lt;&amp;&gt;.plist")});
    // The activation carries the exact path, not the text shown.
    server_->invokeAction(calls[0].id, "default");
    ASSERT_TRUE(test_support::waitFor([&] { return !home_.openedURLs().empty(); }, eventDeadline));
    EXPECT_EQ(home_.openedURLs()[0],
              std::string(QUORVEL_JOB_SCHEME) + "://" + base64((home_.agents() / oddName).string()));
}

TEST_F(AgentEndToEnd, AMessagesLanguageWrittenRightToLeftPutsThePathFirst) {
    fs::create_directories(home_.agents());
    startBus();
    startAgent({{"LANGUAGE", "he"}, {"LC_ALL", "C.UTF-8"}});
    writeFile(home_.agents() / "x.plist", jobPlist("x"));
    expectNext({home_.shown("x.plist") + " :New"});
}

TEST_F(AgentEndToEnd, ExceptionsWrittenWhileRunningAreRespectedWithoutRestart) {
    fs::create_directories(home_.agents());
    startBus();
    startAgent(); // no Application Support folder yet: the exceptions folder is watched for creation

    fs::create_directories(home_.exceptionsFolder());
    replaceFile(home_.exceptionsFolder() / "Exceptions.plist", exceptionsPlist({"quiet"}));
    writeFile(home_.agents() / "quiet.plist", jobPlist("quiet"));
    writeFile(home_.agents() / "loud.plist", jobPlist("loud"));
    expectNext({"New: " + home_.shown("loud.plist")});

    writeFile(home_.agents() / "quiet.plist", jobPlist("quiet", "<key>RunAtLoad</key>\n<true/>\n"));
    writeFile(home_.agents() / "marker.plist", jobPlist("marker"));
    expectNext({"New: " + home_.shown("marker.plist")});

    // The list cleared by a changed file: the job is reported again.
    writeFile(home_.exceptionsFolder() / "Exceptions.plist", exceptionsPlist({}));
    writeFile(home_.agents() / "quiet.plist", jobPlist("quiet"));
    expectNext({"Modified: " + home_.shown("quiet.plist")});
    expectNoMore();
}

TEST_F(AgentEndToEnd, ABurstOfWritesGivesOneCheck) {
    fs::create_directories(home_.agents());
    startBus();
    startAgent();

    const auto job = home_.agents() / "busy.plist";
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
        writeFile(job, jobPlist("busy", "<key>Nice</key>\n<integer>" + std::to_string(i) + "</integer>\n"));
    }
    // The check starts a second after the first report; the burst must fit in that window. On a machine
    // too busy for fifty small writes in half a second the test proves nothing, and says so rather than
    // fail.
    if (std::chrono::steady_clock::now() - start >= 500ms) {
        GTEST_SKIP() << "the burst took longer than half a second: too slow a machine to prove anything";
    }
    expectNext({"New: " + home_.shown("busy.plist")});
    writeFile(home_.agents() / "marker.plist", jobPlist("marker"));
    expectNext({"New: " + home_.shown("marker.plist")});
    expectNoMore();
}

TEST_F(AgentEndToEnd, SigtermEndsWithStatusZeroPostingNothingAndASecondAgentExitsAtOnce) {
    fs::create_directories(home_.agents());
    startBus();
    startAgent();

    auto second = home_.startAgent(bus_->address());
    const auto secondStatus = second->waitExit(eventDeadline);
    ASSERT_TRUE(secondStatus.has_value()) << "a second agent kept running";
    EXPECT_TRUE(WIFEXITED(*secondStatus) && WEXITSTATUS(*secondStatus) == 0);

    // The first still works, and only it reports.
    writeFile(home_.agents() / "one.plist", jobPlist("one"));
    expectNext({"New: " + home_.shown("one.plist")});

    // A check is scheduled when the signal comes; it posts nothing.
    writeFile(home_.agents() / "late.plist", jobPlist("late"));
    agent_->signal(SIGTERM);
    const auto status = agent_->waitExit(eventDeadline);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    EXPECT_FALSE(server_->nameHasOwner(agentBusName));
    expectNoMore();
}

// Started at the same instant, both may find the name free; the one that does not get it ends.
TEST_F(AgentEndToEnd, TwoAgentsStartedAtOnceLeaveExactlyOne) {
    fs::create_directories(home_.agents());
    startBus();
    auto first = home_.startAgent(bus_->address());
    auto second = home_.startAgent(bus_->address());
    ASSERT_TRUE(test_support::waitFor([&] { return !first->running() || !second->running(); }, eventDeadline))
        << "both agents kept running";
    auto& ended = first->running() ? second : first;
    auto& survivor = first->running() ? first : second;
    const auto status = ended->waitExit(0ms);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    ASSERT_TRUE(test_support::waitFor([&] { return server_->nameHasOwner(agentBusName); }, eventDeadline));
    agent_ = std::move(survivor);

    writeFile(home_.agents() / "one.plist", jobPlist("one"));
    expectNext({"New: " + home_.shown("one.plist")});
    EXPECT_TRUE(agent_->running());
    writeFile(home_.agents() / "marker.plist", jobPlist("marker"));
    expectNext({"New: " + home_.shown("marker.plist")});
    expectNoMore();
}

TEST_F(AgentEndToEnd, FifosDeviceLinksAndPropertyListBombsNeitherHangNorCrashTheAgent) {
    fs::create_directories(home_.agents());
    // Present at launch: the baseline scan must not block on them.
    ASSERT_EQ(::mkfifo((home_.agents() / "fifo.plist").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", home_.agents() / "zero.plist");
    startBus();
    startAgent();

    ASSERT_EQ(::mkfifo((home_.agents() / "fifo2.plist").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", home_.agents() / "zero2.plist");
    std::string nested;
    for (int i = 0; i < 100000; ++i) {
        nested += "<array>";
    }
    writeFile(home_.agents() / "deep.plist", "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">" + nested);
    // A binary list whose every array holds the one before twice: a graph of 2^40 nodes in 500 bytes.
    std::string binary = "bplist00";
    std::vector<std::size_t> offsets;
    offsets.push_back(binary.size());
    binary += '\x50'; // an empty string: object 0
    for (int i = 1; i < 41; ++i) {
        offsets.push_back(binary.size());
        binary += '\xA2';
        binary += static_cast<char>(i - 1);
        binary += static_cast<char>(i - 1);
    }
    const std::size_t tableOffset = binary.size();
    for (const auto offset : offsets) {
        binary += static_cast<char>(offset & 0xFF); // one-byte offsets (all below 256)
    }
    std::string trailer(32, '\0');
    trailer[6] = 1;                                      // offset size
    trailer[7] = 1;                                      // reference size
    trailer[15] = static_cast<char>(offsets.size());     // object count
    trailer[23] = static_cast<char>(offsets.size() - 1); // top object
    trailer[31] = static_cast<char>(tableOffset);
    writeFile(home_.agents() / "laughs.plist", binary + trailer);
    writeFile(home_.agents() / "ordinary.plist", jobPlist("ordinary"));

    // The bombs are files like any other (label ""); the FIFO and the device are never read.
    expectNext({"New: " + home_.shown("deep.plist"), "New: " + home_.shown("laughs.plist"),
                "New: " + home_.shown("ordinary.plist")});
    writeFile(home_.agents() / "marker.plist", jobPlist("marker"));
    expectNext({"New: " + home_.shown("marker.plist")});
    expectNoMore();
    EXPECT_TRUE(agent_->running());
}

TEST_F(AgentEndToEnd, AJobFolderMadeAfterLaunchOrMadeAgainIsWatched) {
    startBus();
    startAgent(); // no ~/Library at all

    fs::create_directories(home_.agents());
    writeFile(home_.agents() / "first.plist", jobPlist("first"));
    expectNext({"New: " + home_.shown("first.plist")});

    fs::remove_all(home_.home() / "Library");
    expectNext({"Deleted: " + home_.shown("first.plist")});
    fs::create_directories(home_.agents());
    writeFile(home_.agents() / "second.plist", jobPlist("second"));
    expectNext({"New: " + home_.shown("second.plist")});
    expectNoMore();
}

// A name that holds line breaks, terminal escapes or direction controls shows as one line in the order
// written; the activation still names the exact file. A home with trailing separators shortens as well.
TEST_F(AgentEndToEnd, NoFileNameForgesTheTextAndAHomeWithTrailingSeparatorsIsShortened) {
    fs::create_directories(home_.agents());
    startBus();
    startAgent({{"HOME", home_.home().string() + "//"}});

    const std::string fffd = "\xEF\xBF\xBD";
    const std::string forged = "x.plist\nDeleted: ~\u2215Library\u2215LaunchAgents\u2215com.corp.edr.plist";
    const std::vector<std::pair<std::string, std::string>> names = {
        {forged, "x.plist" + fffd + "Deleted: ~\u2215Library\u2215LaunchAgents\u2215com.corp.edr.plist"},
        {"a\u202Etsil.plist", "a" + fffd + "tsil.plist"},
        {"b\x1b[2K\x7f\xC2\x85.plist", "b" + fffd + "[2K" + fffd + fffd + ".plist"},
        {"c\u2028\u2029\u200E\u200F.plist", "c" + fffd + fffd + fffd + fffd + ".plist"},
        {"d\u202A\u202B\u202C\u202D.plist", "d" + fffd + fffd + fffd + fffd + ".plist"},
        {"e\u2066\u2067\u2068\u2069\u00A0\u200D.plist",
         "e" + fffd + fffd + fffd + fffd + "\u00A0\u200D.plist"},
    };
    std::vector<std::string> bodies;
    for (const auto& [name, shown] : names) {
        writeFile(home_.agents() / name, jobPlist("odd"));
        bodies.push_back("New: ~/Library/LaunchAgents/" + shown);
    }
    const auto calls = expectNext(bodies);
    server_->invokeAction(find(calls, bodies[0]).id, "default");
    ASSERT_TRUE(test_support::waitFor([&] { return !home_.openedURLs().empty(); }, eventDeadline));
    EXPECT_EQ(home_.openedURLs()[0],
              std::string(QUORVEL_JOB_SCHEME) + "://" + base64((home_.agents() / forged).string()));
}

// A burst larger than the bus lets one connection wait for, to a server that answers slowly: every
// notification reaches it (none printed), its capabilities are asked once, and the first one still
// activates after hundreds of later ones.
TEST_F(AgentEndToEnd, ABurstOfNotificationsAllReachASlowServerAndTheOldestStillActivates) {
    fs::create_directories(home_.agents());
    startBus({"actions", "body"}, true, ServerBehaviour{5ms, false});
    startAgent();

    std::vector<std::string> bodies;
    for (int i = 0; i < 600; ++i) {
        const std::string name = "job" + std::to_string(i) + ".plist";
        writeFile(home_.agents() / name, jobPlist(name));
        bodies.push_back("New: " + home_.shown(name));
    }
    const auto calls = expectNext(bodies);
    expectNoMore();
    EXPECT_EQ(home_.printed(), std::vector<std::string>{});
    EXPECT_EQ(server_->capabilityQueries(), 1);
    server_->invokeAction(calls.front().id, "default");
    ASSERT_TRUE(test_support::waitFor([&] { return !home_.openedURLs().empty(); }, eventDeadline));
}

// SIGTERM while the notifications of a check are on their way: they are all sent, and the agent ends
// with status 0 once the slow server has answered them.
TEST_F(AgentEndToEnd, SigtermSendsWhatTheCheckPostedBeforeEnding) {
    fs::create_directories(home_.agents());
    startBus({"actions", "body"}, true, ServerBehaviour{150ms, false});
    startAgent();

    std::vector<std::string> bodies;
    for (int i = 0; i < 20; ++i) {
        const std::string name = "job" + std::to_string(i) + ".plist";
        writeFile(home_.agents() / name, jobPlist(name));
        bodies.push_back("New: " + home_.shown(name));
    }
    // The check has begun posting: the server is asked for its capabilities first.
    ASSERT_TRUE(test_support::waitFor([&] { return server_->capabilityQueries() > 0; }, eventDeadline));
    agent_->signal(SIGTERM);
    const auto status = agent_->waitExit(eventDeadline);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    server_->sync();
    expectNext(bodies);
    EXPECT_EQ(home_.printed(), std::vector<std::string>{});
}

// Without a bus (or without a server on it), every notification is a line on standard output.
TEST_F(AgentEndToEnd, WithoutASessionBusNotificationsArePrintedLines) {
    fs::create_directories(home_.agents());
    agent_ = home_.startAgent("unix:path=" + (home_.root() / "no-bus-here").string());
    // No name to wait for: probe until a new job is reported (one made before the baseline is not).
    bool ready = false;
    for (int probe = 0; !ready && probe < 10; ++probe) {
        const std::string name = "probe" + std::to_string(probe) + ".plist";
        writeFile(home_.agents() / name, jobPlist("probe"));
        ready = waitPrinted("Quorvel: New: " + home_.shown(name), 5s);
    }
    ASSERT_TRUE(ready) << readFile(home_.root() / "logs/agent.err");
    fs::remove(home_.agents() / "probe0.plist");
    EXPECT_TRUE(waitPrinted("Quorvel: Deleted: " + home_.shown("probe0.plist")));

    // A name with a line feed or a terminal escape stays on its one line and cannot print a report of
    // its own.
    writeFile(home_.agents() / "x\nQuorvel: Deleted: forged.plist", jobPlist("forged"));
    writeFile(home_.agents() / "y\x1b[2K.plist", jobPlist("escape"));
    EXPECT_TRUE(waitPrinted("Quorvel: New: " + home_.shown("x\xEF\xBF\xBDQuorvel: Deleted: forged.plist")));
    EXPECT_TRUE(waitPrinted("Quorvel: New: " + home_.shown("y\xEF\xBF\xBD[2K.plist")));
    const auto lines = home_.printed();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Quorvel: Deleted: forged.plist"), 0);

    // Without a bus it did its job all along, so SIGTERM ends it as any other: status 0.
    agent_->signal(SIGTERM);
    const auto status = agent_->waitExit(eventDeadline);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
}

TEST_F(AgentEndToEnd, WithoutANotificationServerNotificationsArePrintedLines) {
    fs::create_directories(home_.agents());
    startBus({}, false);
    startAgent();
    writeFile(home_.agents() / "headless.plist", jobPlist("headless"));
    EXPECT_TRUE(waitPrinted("Quorvel: New: " + home_.shown("headless.plist")));
}

// The notification lines of new jobs, as printed.
std::vector<std::string> printedLines(const AgentHome& home, const std::vector<std::string>& names) {
    std::vector<std::string> lines;
    for (const auto& name : names) {
        lines.push_back("Quorvel: New: " + home.shown(name));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> writeJobs(const AgentHome& home, const std::string& prefix, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back(prefix + std::to_string(i) + ".plist");
        writeFile(home.agents() / names.back(), jobPlist(names.back()));
    }
    return names;
}

// A server that owns the name and never answers: after 10 s without an answer every notification is
// printed, later ones at once; nothing is sent to it meanwhile.
TEST_F(AgentEndToEnd, ASilentServerHasEveryNotificationPrintedAndLaterOnesAtOnce) {
    fs::create_directories(home_.agents());
    ServerBehaviour silent;
    silent.silent = true;
    startBus({"actions", "body"}, true, silent);
    startAgent();

    const auto names = writeJobs(home_, "job", 30);
    ASSERT_TRUE(test_support::waitFor([&] { return home_.printed().size() >= names.size(); }, 60s));
    auto printed = home_.printed();
    std::sort(printed.begin(), printed.end());
    EXPECT_EQ(printed, printedLines(home_, names));

    writeFile(home_.agents() / "later.plist", jobPlist("later"));
    EXPECT_TRUE(waitPrinted("Quorvel: New: " + home_.shown("later.plist"), 8s));
    EXPECT_EQ(server_->notifyCalls(), 0);
}

// SIGTERM while a silent server holds the notifications: after the 2 s flush they are printed.
TEST_F(AgentEndToEnd, SigtermPrintsWhatASilentServerLeftUnanswered) {
    fs::create_directories(home_.agents());
    ServerBehaviour silent;
    silent.silent = true;
    startBus({"actions", "body"}, true, silent);
    startAgent();

    const auto names = writeJobs(home_, "job", 20);
    // The check has begun posting: the server is asked for its capabilities first.
    ASSERT_TRUE(test_support::waitFor([&] { return server_->capabilityQueries() > 0; }, eventDeadline));
    agent_->signal(SIGTERM);
    const auto status = agent_->waitExit(eventDeadline);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    auto printed = home_.printed();
    std::sort(printed.begin(), printed.end());
    EXPECT_EQ(printed, printedLines(home_, names));
}

// A server that answers every call with an error: every change is printed once its calls have failed.
TEST_F(AgentEndToEnd, AnErringServerHasEveryChangePrinted) {
    fs::create_directories(home_.agents());
    ServerBehaviour failing;
    failing.errorName = "org.freedesktop.DBus.Error.Failed";
    startBus({"actions", "body"}, true, failing);
    startAgent();

    const auto names = writeJobs(home_, "job", 20);
    ASSERT_TRUE(test_support::waitFor([&] { return home_.printed().size() >= names.size(); }, eventDeadline));
    auto printed = home_.printed();
    std::sort(printed.begin(), printed.end());
    EXPECT_EQ(printed, printedLines(home_, names));
}

// A notification server is installed but dies as the bus starts it (the bus answers
// Spawn.ChildSignaled): there is no server, and the notification is printed.
TEST_F(AgentEndToEnd, AServerThatCannotBeStartedHasTheNotificationPrinted) {
    fs::create_directories(home_.agents());
    const auto services = home_.root() / "services";
    fs::create_directories(services);
    const auto crashing = home_.root() / "crashing-server";
    writeFile(crashing, "#!/bin/sh\nkill -KILL $$\n");
    fs::permissions(crashing, fs::perms::owner_all);
    writeFile(services / "org.freedesktop.Notifications.service",
              "[D-BUS Service]\nName=org.freedesktop.Notifications\nExec=" + crashing.string() + "\n");
    test_support::PrivateBusServices activated;
    activated.folder = services.string();
    bus_ = std::make_unique<PrivateBus>(activated);
    server_ = std::make_unique<FakeNotificationServer>(bus_->address(), std::vector<std::string>{}, false);
    startAgent();

    writeFile(home_.agents() / "x.plist", jobPlist("x"));
    EXPECT_TRUE(waitPrinted("Quorvel: New: " + home_.shown("x.plist")));
}

// The server is killed mid-burst and back a second later: the new one receives the rest, none is printed.
TEST_F(AgentEndToEnd, AServerRestartedWithinFiveSecondsReceivesTheRest) {
    fs::create_directories(home_.agents());
    startBus({"actions", "body"}, true, ServerBehaviour{20ms, false});
    startAgent();

    const auto names = writeJobs(home_, "job", 200);
    ASSERT_TRUE(test_support::waitFor([&] { return server_->calls().size() >= 40; }, eventDeadline));
    server_->stop();
    std::set<std::string> shown;
    for (const auto& call : server_->calls()) {
        shown.insert(call.body);
    }
    // The outage under test: the server stays away for a second, in which nothing may be printed.
    EXPECT_FALSE(test_support::waitFor([&] { return !home_.printed().empty(); }, 1s));
    server_ = std::make_unique<FakeNotificationServer>(bus_->address(),
                                                       std::vector<std::string>{"actions", "body"});
    ASSERT_TRUE(test_support::waitFor(
        [&] {
            std::set<std::string> all = shown;
            for (const auto& call : server_->calls()) {
                all.insert(call.body);
            }
            return all.size() >= names.size();
        },
        eventDeadline));
    EXPECT_GT(server_->calls().size(), 100u);
    EXPECT_EQ(home_.printed(), std::vector<std::string>{});
}

// An exceptions file beyond the guard's bounds is refused, and the log says which file and which bound.
TEST_F(AgentEndToEnd, AnExceptionsFileBeyondTheGuardsBoundsIsNamedInTheLog) {
    fs::create_directories(home_.agents());
    fs::create_directories(home_.exceptionsFolder());
    startBus();
    startAgent();

    std::vector<std::string> labels;
    for (int i = 0; i < 16385; ++i) {
        labels.push_back("com.example.label" + std::to_string(i));
    }
    replaceFile(home_.exceptionsFolder() / "Exceptions.plist", exceptionsPlist(labels));
    const auto errors = home_.root() / "logs/agent.err";
    ASSERT_TRUE(test_support::waitFor(
        [&] { return readFile(errors).find("Exceptions.plist") != std::string::npos; }, eventDeadline));
    for (const auto& line : home_.lines(errors)) {
        if (line.find("exceptions") != std::string::npos) {
            EXPECT_NE(line.find((home_.exceptionsFolder() / "Exceptions.plist").string()), std::string::npos);
            EXPECT_NE(line.find("16384 elements in an array"), std::string::npos) << line;
        }
    }
}

} // namespace
} // namespace agent_e2e
