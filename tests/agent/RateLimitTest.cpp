#include "AgentFakes.hpp"

#include <gtest/gtest.h>

using namespace agent_test;

TEST(RateLimit, OneRunPerWindowAndARunAfterEveryCall) {
    FakeTimer timer;
    mortar::Limit limit(timer);
    int runs = 0;
    const auto call = [&] { limit.interval("AgentMonitor", std::chrono::seconds(1), [&] { ++runs; }); };

    // A burst within the window gives one run, at the window's end.
    for (int k = 0; k < 50; ++k) {
        call();
    }
    EXPECT_EQ(timer.pending(), 1u);
    EXPECT_EQ(timer.lastDelay(), std::chrono::seconds(1));
    EXPECT_EQ(runs, 0);
    timer.fire();
    EXPECT_EQ(runs, 1);

    // A call after the timer fired gets a later run of its own.
    call();
    EXPECT_EQ(timer.pending(), 1u);
    timer.fire();
    EXPECT_EQ(runs, 2);

    // A steady stream still runs once every window.
    for (int window = 0; window < 10; ++window) {
        for (int k = 0; k < 5; ++k) {
            call();
        }
        timer.fire();
    }
    EXPECT_EQ(runs, 12);

    // A call made while the closure runs is not lost in the window that is ending.
    limit.interval("Reentrant", std::chrono::seconds(1), [&] {
        ++runs;
        if (runs == 13) {
            call();
        }
    });
    timer.fire();
    EXPECT_EQ(runs, 13);
    EXPECT_EQ(timer.pending(), 1u);
    timer.fire();
    EXPECT_EQ(runs, 14);

    // Identifiers are limited separately.
    limit.interval("a", std::chrono::milliseconds(5), [] {});
    limit.interval("b", std::chrono::milliseconds(5), [] {});
    EXPECT_EQ(timer.pending(), 2u);
}

TEST(RateLimit, ManyReportsGiveOneCheckAfterThePause) {
    AgentWorld world;
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    int checks = 0;
    world.sleeper.onSleep = [&] { ++checks; };

    for (std::size_t k = 0; k < 20; ++k) {
        world.monitorFor(world.folders[k % 7])->report();
    }
    EXPECT_EQ(world.timer.pending(), 1u);
    EXPECT_EQ(world.timer.lastDelay(), std::chrono::seconds(1));
    EXPECT_EQ(world.mainQueue.pending(), 0u);
    writeFile(world.path("Job.plist"), jobPlist("org.example.job"));
    world.timer.fire();
    EXPECT_EQ(world.mainQueue.pending(), 1u);
    EXPECT_TRUE(world.center.delivered.empty()); // the check runs on the main queue, not on the timer
    world.mainQueue.runAll();
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(world.sleeper.slept, std::vector<std::chrono::nanoseconds>{std::chrono::milliseconds(300)});
    EXPECT_EQ(world.center.delivered.size(), 1u);
}
