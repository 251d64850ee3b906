#include "AgentFakes.hpp"
#include "WaitFor.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace agent_test;

TEST(Concurrency, ExceptionsReloadOnAMonitorThreadWhileChecksRun) {
    AgentWorld world;
    writeFile(world.exceptionsFolder / "Exceptions.plist",
              exceptionsPlist("<string>org.example.excepted</string>"));
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    auto exceptionsMonitor = world.monitorFor(world.exceptionsFolder);

    std::atomic<bool> stop{false};
    std::atomic<int> reloads{0};
    std::thread monitorThread([&] {
        while (!stop) {
            exceptionsMonitor->report();
            ++reloads;
        }
    });
    for (int round = 0; round < 30; ++round) {
        writeFile(world.path("Excepted.plist"), jobPlist("org.example.excepted"));
        writeFile(world.path("Job" + std::to_string(round) + ".plist"), jobPlist("org.example.job"));
        world.reportAndCheck(world.userAgents);
        std::filesystem::remove(world.path("Excepted.plist"));
        world.reportAndCheck(world.userAgents);
    }
    ASSERT_TRUE(test_support::waitFor([&] { return reloads > 10; }));
    stop = true;
    monitorThread.join();
    EXPECT_EQ(world.center.texts().size(), 30u); // only the unexcepted jobs
    EXPECT_EQ(monitorFolders->exceptions(), std::vector<std::string>{"org.example.excepted"});
}

TEST(Concurrency, LimitCalledFromManyThreadsRunsAfterTheLastCall) {
    FakeTimer timer;
    mortar::Limit limit(timer);
    std::atomic<int> calls{0};
    std::atomic<int> seenAtLastRun{-1};
    std::atomic<int> runs{0};
    std::atomic<bool> stop{false};
    std::thread firing([&] {
        while (!stop) {
            timer.fire();
        }
    });
    std::vector<std::thread> reporters;
    for (int t = 0; t < 4; ++t) {
        reporters.emplace_back([&] {
            for (int k = 0; k < 2000; ++k) {
                ++calls;
                limit.interval("AgentMonitor", std::chrono::seconds(1), [&] {
                    seenAtLastRun = calls.load();
                    ++runs;
                });
            }
        });
    }
    for (auto& reporter : reporters) {
        reporter.join();
    }
    stop = true;
    firing.join();
    timer.fire();
    EXPECT_EQ(seenAtLastRun, 8000);
    EXPECT_GE(runs, 1);
    EXPECT_EQ(timer.pending(), 0u);
}

TEST(Concurrency, MonitorReportsWhileTheDelegateGoes) {
    struct Counter final : mortar::MonitorDelegate {
        void folderDidChange(const std::filesystem::path&) override { ++count; }
        std::atomic<int> count{0};
    };
    auto monitor = std::make_shared<mortar::SingleFolderMonitor>("/tmp/folder");
    auto counter = std::make_shared<Counter>();
    monitor->setDelegate(counter);
    std::atomic<bool> stop{false};
    std::thread reporter([&] {
        while (!stop) {
            monitor->report();
        }
    });
    ASSERT_TRUE(test_support::waitFor([&] { return counter->count > 100; }));
    std::weak_ptr<Counter> gone = counter;
    counter.reset();
    monitor->setDelegate(std::make_shared<Counter>()); // replaced while reports arrive
    stop = true;
    reporter.join();
    EXPECT_TRUE(gone.expired());
}
