// The notification delivery policy, driven through its seam: a fake server side that records the calls and
// answers when told, and a fake clock, so that time-outs, retries and waits take no real time.
#include "frameworks/NotificationDelivery.hpp"

#include "frameworks/PostedNotifications.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace agent {
namespace {

using namespace std::chrono_literals;
using Outcome = ServerReply::Outcome;

// Closures run when the clock passes their time, in time order.
class ClockTimer final : public Timer {
public:
    void after(std::chrono::nanoseconds delay, std::function<void()> closure) override {
        pending_.emplace(std::make_pair(now_ + delay, next_++), std::move(closure));
    }
    void advance(std::chrono::nanoseconds duration) {
        const auto end = now_ + duration;
        while (!pending_.empty() && pending_.begin()->first.first <= end) {
            auto node = pending_.extract(pending_.begin());
            now_ = node.key().first;
            node.mapped()();
        }
        now_ = end;
    }

private:
    std::chrono::nanoseconds now_{0};
    std::uint64_t next_ = 0;
    std::map<std::pair<std::chrono::nanoseconds, std::uint64_t>, std::function<void()>> pending_;
};

struct MadeCall {
    NotificationServer::Call call;
    std::string method; // "GetCapabilities" or "Notify"
    std::string text;
    bool markup = false;
    std::chrono::milliseconds timeout{};
};

class FakeServerSide final : public NotificationServer {
public:
    bool reachable() const override { return reachable_; }
    void getCapabilities(Call call, std::chrono::milliseconds timeout) override {
        calls.push_back({call, "GetCapabilities", "", false, timeout});
    }
    void notify(Call call, const UserNotification& notification, bool bodyMarkup,
                std::chrono::milliseconds timeout) override {
        calls.push_back({call, "Notify", notification.text, bodyMarkup, timeout});
    }
    void printLine(const std::string& line) override { printed.push_back(line); }
    void logLine(const std::string& line) override { logged.push_back(line); }

    // The calls of one method not answered yet, oldest first.
    std::vector<MadeCall> open(const std::string& method) const {
        std::vector<MadeCall> result;
        for (const auto& made : calls) {
            if (made.method == method && !answered.contains(made.call)) {
                result.push_back(made);
            }
        }
        return result;
    }
    std::size_t count(const std::string& method) const {
        return static_cast<std::size_t>(
            std::count_if(calls.begin(), calls.end(), [&](const auto& c) { return c.method == method; }));
    }

    bool reachable_ = true;
    std::vector<MadeCall> calls;
    std::map<Call, bool> answered;
    std::vector<std::string> printed;
    std::vector<std::string> logged;
};

ServerReply capabilities(const std::string& sender, std::vector<std::string> names) {
    ServerReply reply;
    reply.sender = sender;
    reply.capabilities = std::move(names);
    return reply;
}

ServerReply shown(const std::string& sender, std::uint32_t id) {
    ServerReply reply;
    reply.sender = sender;
    reply.id = id;
    return reply;
}

ServerReply error(const std::string& name) {
    ServerReply reply;
    reply.outcome = Outcome::error;
    reply.errorName = name;
    return reply;
}

ServerReply timedOut() {
    ServerReply reply;
    reply.outcome = Outcome::timedOut;
    reply.message = "Timeout was reached";
    return reply;
}

UserNotification note(const std::string& text) {
    return {"Quorvel", text, "", "/path/" + text};
}

std::string line(const std::string& text) {
    return "Quorvel: " + text + "\n";
}

struct Recorder final : NotificationCenterDelegate {
    void didActivateNotification(const UserNotification& notification) override {
        activated.push_back(notification.text);
    }
    std::vector<std::string> activated;
};

class Delivery : public ::testing::Test {
protected:
    void answer(const MadeCall& made, const ServerReply& reply) {
        server.answered[made.call] = true;
        delivery.answered(made.call, reply);
    }
    // Answers every open Notify call as shown by `sender`, oldest first, until none is open.
    std::vector<std::string> showAll(const std::string& sender = ":1.7") {
        std::vector<std::string> texts;
        for (auto open = server.open("Notify"); !open.empty(); open = server.open("Notify")) {
            for (const auto& made : open) {
                texts.push_back(made.text);
                answer(made, shown(sender, nextId++));
            }
        }
        return texts;
    }
    void deliverAll(int count, const std::string& prefix = "n") {
        for (int i = 0; i < count; ++i) {
            delivery.deliver(note(prefix + std::to_string(i)));
        }
    }
    std::vector<std::string> texts(int count, const std::string& prefix = "n") {
        std::vector<std::string> result;
        for (int i = 0; i < count; ++i) {
            result.push_back(prefix + std::to_string(i));
        }
        return result;
    }
    std::vector<std::string> lines(int count, const std::string& prefix = "n") {
        std::vector<std::string> result;
        for (const auto& text : texts(count, prefix)) {
            result.push_back(line(text));
        }
        return result;
    }

    FakeServerSide server;
    ClockTimer timer;
    NotificationDelivery delivery{server, timer, DeliveryTimes{}, DeliveryBounds{8, 50, 2}};
    std::uint32_t nextId = 41;
};

TEST(NotificationText, TheLineAndWhichErrorsMeanThatNoServerIsThere) {
    EXPECT_EQ(notificationLine("Quorvel", "New: ~/a&<b>.plist"), "Quorvel: New: ~/a&<b>.plist\n");
    EXPECT_TRUE(meansNoServer("org.freedesktop.DBus.Error.ServiceUnknown"));
    EXPECT_TRUE(meansNoServer("org.freedesktop.DBus.Error.NameHasNoOwner"));
    EXPECT_FALSE(meansNoServer("org.freedesktop.DBus.Error.LimitsExceeded"));
    EXPECT_FALSE(meansNoServer("org.freedesktop.DBus.Error.NoReply"));

    // The bus could not start a server: it crashed, found no display, or never took the name.
    EXPECT_TRUE(meansNoServer("org.freedesktop.DBus.Error.Spawn.ChildSignaled"));
    EXPECT_TRUE(meansNoServer("org.freedesktop.DBus.Error.Spawn.ChildExited"));
    EXPECT_TRUE(meansNoServer("org.freedesktop.DBus.Error.Spawn.ExecFailed"));
    EXPECT_TRUE(meansNoServer("org.freedesktop.DBus.Error.TimedOut"));
    EXPECT_FALSE(meansNoServer("org.freedesktop.DBus.Error.Failed"));
    EXPECT_FALSE(meansNoServer("org.freedesktop.DBus.Error.Spawn"));
}

TEST(PostedNotifications, OnlyOurIdsFromTheirServerActivateEarlyOnesWaitForTheirIdAndTheOldestAreForgotten) {
    PostedNotifications posted(3, 2);
    posted.remember(":1.5", 7, {"Quorvel", "New: ~/x", "", "/home/u/x"});
    posted.remember(":1.5", 9, {"Quorvel", "Deleted: ~/y", "", std::nullopt});
    ASSERT_TRUE(posted.activated(":1.5", 7, "default"));
    EXPECT_EQ(posted.activated(":1.5", 7, "default")->identifier, "/home/u/x");
    EXPECT_FALSE(posted.activated(":1.5", 9, "default")->identifier);
    EXPECT_FALSE(posted.activated(":1.5", 7, "Open"));
    EXPECT_FALSE(posted.activated(":1.5", 8, "default"));
    // Another sender, or a later server handing out the same ids.
    EXPECT_FALSE(posted.activated(":1.6", 7, "default"));
    posted.forget(":1.6", 7);
    EXPECT_TRUE(posted.activated(":1.5", 7, "default"));
    posted.forget(":1.5", 7);
    EXPECT_FALSE(posted.activated(":1.5", 7, "default"));

    // An activation held for an id not known yet: decided by the reply that brings it, from that server.
    posted.hold(":1.5", 10);
    posted.hold(":1.5", 11);
    EXPECT_FALSE(posted.remember(":1.6", 10, {"Quorvel", "other server", "", std::nullopt}));
    const auto held = posted.remember(":1.5", 10, {"Quorvel", "ten", "", "/ten"});
    ASSERT_TRUE(held);
    EXPECT_EQ(held->identifier, "/ten");
    EXPECT_FALSE(posted.remember(":1.5", 10, {"Quorvel", "ten again", "", "/ten"})); // activated once
    posted.dropHeld();
    EXPECT_FALSE(posted.remember(":1.5", 11, {"Quorvel", "eleven", "", "/eleven"}));
    // The held ones are bounded too: the oldest goes first.
    posted.hold(":1.5", 20);
    posted.hold(":1.5", 21);
    posted.hold(":1.5", 22);
    EXPECT_FALSE(posted.remember(":1.5", 20, {"Quorvel", "20", "", std::nullopt}));
    EXPECT_TRUE(posted.remember(":1.5", 22, {"Quorvel", "22", "", std::nullopt}));

    for (std::uint32_t id = 100; id < 110; ++id) {
        posted.remember(":1.5", id, {"Quorvel", std::to_string(id), "", std::nullopt});
    }
    EXPECT_EQ(posted.size(), 3u);
    EXPECT_FALSE(posted.activated(":1.5", 9, "default"));
    EXPECT_TRUE(posted.activated(":1.5", 109, "default"));
    // Forgetting in the middle keeps the newest ones, and the bound holds over many rounds.
    posted.forget(":1.5", 108);
    for (std::uint32_t id = 200; id < 2000; ++id) {
        posted.remember(":1.5", id, {"Quorvel", "", "", std::nullopt});
        posted.forget(":1.5", id - 1);
    }
    EXPECT_EQ(posted.size(), 2u);
    EXPECT_TRUE(posted.activated(":1.5", 1999, "default"));
    EXPECT_TRUE(posted.activated(":1.5", 109, "default"));
}

TEST_F(Delivery, SendsInOrderWithEightInFlightAsksCapabilitiesOnceAndRetriesAFailureAfterAPause) {
    const auto recorder = std::make_shared<Recorder>();
    delivery.setDelegate(recorder);
    deliverAll(20);
    // Nothing is sent before the server tells whether it reads markup.
    ASSERT_EQ(server.calls.size(), 1u);
    EXPECT_EQ(server.calls[0].method, "GetCapabilities");
    EXPECT_EQ(server.calls[0].timeout, 10s);
    answer(server.calls[0], capabilities(":1.7", {"actions", "body-markup"}));
    auto open = server.open("Notify");
    ASSERT_EQ(open.size(), 8u);
    EXPECT_EQ(open[0].text, "n0");
    EXPECT_EQ(open[7].text, "n7");
    EXPECT_TRUE(open[0].markup);

    // A failure keeps its place in flight and is sent again after 200 ms, then 400 ms.
    answer(open[0], error("org.freedesktop.DBus.Error.LimitsExceeded"));
    EXPECT_EQ(server.open("Notify").size(), 7u);
    timer.advance(199ms);
    EXPECT_EQ(server.open("Notify").size(), 7u);
    timer.advance(1ms);
    ASSERT_EQ(server.open("Notify").size(), 8u);
    EXPECT_EQ(server.open("Notify").back().text, "n0");
    answer(server.open("Notify").back(), error("org.freedesktop.DBus.Error.NoReply"));
    timer.advance(399ms);
    EXPECT_EQ(server.open("Notify").size(), 7u);
    timer.advance(1ms);
    EXPECT_EQ(server.open("Notify").size(), 8u);

    // An activation that overtakes its id waits for it; one for an id not ours is let go.
    delivery.actionInvoked(":1.7", 41, "default");
    delivery.actionInvoked(":1.7", 999, "default");
    delivery.actionInvoked(":1.9", 42, "default"); // not the server
    std::vector<std::string> all = showAll();
    std::sort(all.begin(), all.end());
    auto want = texts(20);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(all, want);
    EXPECT_EQ(recorder->activated, std::vector<std::string>{"n1"}); // n1 was the first to get an id
    delivery.actionInvoked(":1.7", 50, "default");
    delivery.actionInvoked(":1.7", 50, "Open");
    delivery.notificationClosed(":1.7", 51);
    delivery.actionInvoked(":1.7", 51, "default");
    EXPECT_EQ(recorder->activated.size(), 2u);
    EXPECT_EQ(server.count("GetCapabilities"), 1u);
    EXPECT_TRUE(server.printed.empty());
    EXPECT_FALSE(delivery.busy());
}

// A server that owns the name but never answers: after the time-out everything is printed, nothing is
// sent until it answers a probe, and the probes back off.
TEST_F(Delivery, ASilentServerIsTakenForGoneEverythingIsPrintedAndItIsProbedWithBackoff) {
    deliverAll(30);
    ASSERT_EQ(server.calls.size(), 1u);
    answer(server.calls[0], timedOut());
    EXPECT_EQ(server.printed, lines(30));
    ASSERT_EQ(server.logged.size(), 1u);
    EXPECT_NE(server.logged[0].find("Timeout was reached"), std::string::npos);
    EXPECT_FALSE(delivery.busy());

    // Printed at once while it fails.
    delivery.deliver(note("late"));
    EXPECT_EQ(server.printed.back(), line("late"));

    // Probed after 1 s, then 2 s, 4 s: each probe times out in turn.
    std::vector<std::chrono::milliseconds> gaps;
    for (int probe = 0; probe < 3; ++probe) {
        const auto before = server.calls.size();
        std::chrono::milliseconds waited{0};
        while (server.calls.size() == before && waited < 100s) {
            timer.advance(100ms);
            waited += 100ms;
        }
        gaps.push_back(waited);
        ASSERT_EQ(server.calls.back().method, "GetCapabilities");
        answer(server.calls.back(), timedOut());
    }
    EXPECT_EQ(gaps, (std::vector<std::chrono::milliseconds>{1000ms, 2000ms, 4000ms}));
    EXPECT_EQ(server.count("Notify"), 0u);

    // It answers again: notifications go to it.
    timer.advance(8s);
    answer(server.calls.back(), capabilities(":1.7", {}));
    ASSERT_EQ(server.logged.size(), 2u);
    delivery.deliver(note("again"));
    ASSERT_EQ(server.open("Notify").size(), 1u);
    EXPECT_FALSE(server.open("Notify")[0].markup);
    EXPECT_EQ(showAll(), std::vector<std::string>{"again"});
    EXPECT_EQ(server.printed.size(), 31u);

    // A Notify that times out while nothing else came back: printed, and the server failing again.
    deliverAll(3, "m");
    auto open = server.open("Notify");
    ASSERT_EQ(open.size(), 3u);
    answer(open[1], timedOut());
    EXPECT_EQ(server.printed.back(), line("m1"));
    delivery.deliver(note("printed"));
    EXPECT_EQ(server.printed.back(), line("printed"));
    // A late answer counts: the server answers again, and a call it left unanswered meanwhile is retried.
    answer(open[0], shown(":1.7", 60));
    answer(open[2], timedOut());
    timer.advance(200ms);
    EXPECT_EQ(showAll(), std::vector<std::string>{"m2"});
    EXPECT_EQ(server.printed.back(), line("printed"));
    EXPECT_FALSE(delivery.busy());
}

// A server that answers every call with an error: each notification is tried, then printed; none is lost.
TEST_F(Delivery, AnErringServerEndsEveryNotificationPrintedAndIsNotSentToUntilItAnswers) {
    deliverAll(20);
    answer(server.calls[0], capabilities(":1.7", {}));
    for (int round = 0; round < 100 && delivery.busy(); ++round) {
        for (const auto& made : server.open("Notify")) {
            answer(made, error("org.freedesktop.DBus.Error.Failed"));
        }
        timer.advance(500ms);
    }
    EXPECT_FALSE(delivery.busy());
    auto printed = server.printed;
    std::sort(printed.begin(), printed.end());
    auto want = lines(20);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(printed, want);
    // The first eight were tried three times each; the rest were printed once it failed.
    EXPECT_EQ(server.count("Notify"), 24u);
    EXPECT_EQ(server.logged.size(), 1u);
}

// The bus could not start a server: no retry, the notification is printed at once; so is every one
// whose call finds no server.
TEST_F(Delivery, AServerThatCannotStartOrIsAbsentMeansPrintingAtOnce) {
    deliverAll(3);
    answer(server.calls[0], error("org.freedesktop.DBus.Error.Spawn.ChildSignaled"));
    EXPECT_EQ(server.printed, lines(3));
    delivery.deliver(note("x"));
    ASSERT_EQ(server.calls.size(), 2u); // tried again: a server may be installed by now
    answer(server.calls[1], capabilities(":1.8", {}));
    answer(server.open("Notify")[0], error("org.freedesktop.DBus.Error.ServiceUnknown"));
    EXPECT_EQ(server.printed.back(), line("x"));
    delivery.deliver(note("y"));
    answer(server.calls.back(), error("org.freedesktop.DBus.Error.TimedOut"));
    EXPECT_EQ(server.printed.back(), line("y"));
    EXPECT_TRUE(server.logged.empty());

    // Without a bus at all.
    server.reachable_ = false;
    delivery.deliver(note("z"));
    EXPECT_EQ(server.printed.back(), line("z"));
    EXPECT_FALSE(delivery.busy());
}

// The name loses its owner mid-burst: what waits, and what comes back unanswered, is held for a successor
// for up to 5 s; the successor is asked for its capabilities and gets the rest.
TEST_F(Delivery, AServerRestartedWithinFiveSecondsReceivesTheRestAndOneThatIsNotGetsThemPrinted) {
    delivery.ownerChanged(":1.7");
    deliverAll(40);
    answer(server.calls[0], capabilities(":1.7", {}));
    for (int i = 0; i < 2; ++i) {
        for (const auto& made : server.open("Notify")) {
            answer(made, shown(":1.7", nextId++));
        }
    }
    ASSERT_EQ(server.count("Notify"), 24u); // 16 shown, 8 in flight
    // Killed: the calls in flight come back unanswered, some after the owner change, some before.
    auto open = server.open("Notify");
    answer(open[0], error("org.freedesktop.DBus.Error.NoReply"));
    delivery.ownerChanged("");
    for (std::size_t i = 1; i < open.size(); ++i) {
        answer(open[i], error(i % 2 == 0 ? "org.freedesktop.DBus.Error.NoReply"
                                         : "org.freedesktop.DBus.Error.ServiceUnknown"));
    }
    timer.advance(4s);
    deliverAll(5, "later");
    EXPECT_TRUE(server.printed.empty());
    EXPECT_TRUE(server.open("Notify").empty());
    EXPECT_TRUE(delivery.busy());

    delivery.ownerChanged(":1.9");
    ASSERT_EQ(server.calls.back().method, "GetCapabilities");
    answer(server.calls.back(), capabilities(":1.9", {"body-markup"}));
    auto rest = showAll(":1.9");
    std::sort(rest.begin(), rest.end());
    std::vector<std::string> want;
    for (int i = 16; i < 40; ++i) {
        want.push_back("n" + std::to_string(i));
    }
    for (const auto& text : texts(5, "later")) {
        want.push_back(text);
    }
    std::sort(want.begin(), want.end());
    EXPECT_EQ(rest, want);
    EXPECT_TRUE(server.printed.empty());

    // Lost again, and no successor within 5 s: tried then (the bus may start one), and printed when none
    // answers; not before.
    delivery.ownerChanged("");
    deliverAll(3, "orphan");
    const auto calls = server.calls.size();
    timer.advance(4999ms);
    EXPECT_EQ(server.calls.size(), calls);
    timer.advance(1ms);
    ASSERT_EQ(server.calls.size(), calls + 1);
    EXPECT_TRUE(server.printed.empty());
    answer(server.calls.back(), error("org.freedesktop.DBus.Error.ServiceUnknown"));
    EXPECT_EQ(server.printed, lines(3, "orphan"));
    EXPECT_FALSE(delivery.busy());
}

TEST_F(Delivery, TheQueueIsBoundedAndWhatIsLeftAtExitIsPrintedInOrder) {
    deliverAll(60);
    // Bounded at 50 waiting here: the rest are printed rather than queued.
    const auto all = lines(60);
    EXPECT_EQ(server.printed, std::vector<std::string>(all.begin() + 50, all.end()));
    server.printed.clear();
    answer(server.calls[0], capabilities(":1.7", {}));
    auto open = server.open("Notify");
    answer(open[0], shown(":1.7", 1));
    answer(open[1], error("org.freedesktop.DBus.Error.Failed")); // waiting for its retry
    EXPECT_TRUE(delivery.busy());
    delivery.abandon();
    std::vector<std::string> want;
    for (int i = 1; i < 50; ++i) {
        want.push_back(line("n" + std::to_string(i)));
    }
    EXPECT_EQ(server.printed, want);
    EXPECT_FALSE(delivery.busy());
    // Answers and retries after that find nothing more to print.
    answer(open[2], error("org.freedesktop.DBus.Error.Failed"));
    timer.advance(10s);
    EXPECT_EQ(server.printed.size(), want.size());
}

} // namespace
} // namespace agent
