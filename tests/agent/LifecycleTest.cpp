#include "AgentFakes.hpp"
#include "AppDelegate.hpp"
#include "MainBundle.hpp"
#include "frameworks/HomeFolder.hpp"

#include <gtest/gtest.h>

using namespace agent_test;

TEST(Lifecycle, StartWatchesEightFoldersAndTakesAnUnreportedBaseline) {
    AgentWorld world;
    writeFile(world.path("Existing.plist"), jobPlist("org.example.existing"));
    int made = 0;
    SharedMonitorFolders shared([&] {
        ++made;
        return world.make();
    });
    AppDelegate delegate(shared);
    delegate.applicationDidFinishLaunching();
    auto monitorFolders = shared.get();
    ASSERT_TRUE(monitorFolders);
    EXPECT_EQ(made, 1);

    ASSERT_EQ(world.monitorList.size(), 8u);
    for (std::size_t k = 0; k < 7; ++k) {
        auto monitor = std::dynamic_pointer_cast<mortar::SingleFolderMonitor>(world.monitorList[k]);
        ASSERT_TRUE(monitor);
        EXPECT_EQ(monitor->url(), world.folders[k]);
        EXPECT_EQ(monitor->delegate().lock().get(), monitorFolders.get());
    }
    EXPECT_EQ(std::dynamic_pointer_cast<mortar::SingleFolderMonitor>(world.monitorList[7])->url(),
              world.exceptionsFolder);
    EXPECT_EQ(monitorFolders->lastCheckedJobs().size(), 1u);
    EXPECT_TRUE(world.center.delivered.empty());

    // Starting again replaces every monitor and takes a new baseline.
    const auto first = world.monitorList;
    std::weak_ptr<mortar::MonitorType> old = first[0];
    monitorFolders->startMonitoring();
    EXPECT_EQ(world.monitorList.size(), 8u);
    EXPECT_NE(world.monitorList[0], first[0]);

    // A check scheduled before termination finds the object gone and posts nothing.
    writeFile(world.path("Late.plist"), jobPlist("org.example.late"));
    world.monitorFor(world.userAgents)->report();
    world.timer.fire();
    monitorFolders.reset();
    delegate.applicationWillTerminate();
    EXPECT_FALSE(shared.get());
    EXPECT_EQ(made, 1);
    world.mainQueue.runAll();
    EXPECT_TRUE(world.center.delivered.empty());
    EXPECT_EQ(world.sleeper.slept.size(), 1u); // the block still pauses, then finds nothing to check
    // Monitors stay, and their reports lead nowhere.
    world.monitorFor(world.userAgents)->report();
    EXPECT_EQ(world.timer.pending(), 0u);
}

TEST(Lifecycle, ProcessWideValues) {
    const auto& folders = watchedFolders();
    const std::string home = realHomeFolderPath();
    const std::vector<std::filesystem::path> expected{std::filesystem::path(home) / "Library/LaunchAgents/",
                                                      "/Library/LaunchAgents/",
                                                      "/Library/LaunchDaemons/",
                                                      "/Library/StartupItems/",
                                                      "/System/Library/LaunchAgents/",
                                                      "/System/Library/LaunchDaemons/",
                                                      "/System/Library/StartupItems/"};
    EXPECT_EQ(folders, expected);
    EXPECT_EQ(&folders, &watchedFolders());
    EXPECT_EQ(exceptionsFileURL(),
              std::filesystem::path(home) / "Library/Application Support/Quorvel/Exceptions.plist");
    EXPECT_EQ(mortar::File::nonSandboxedHomeFolderPath(), home);
    EXPECT_EQ(gantry::Product::main().jobScheme, std::optional<std::string>("quorvel"));
    EXPECT_EQ(mainBundleIdentifier(), "app.quorvel.Quorvel");
    EXPECT_EQ(&folderMonitors(), &folderMonitors());
}
