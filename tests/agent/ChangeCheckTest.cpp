#include "AgentFakes.hpp"

#include <gtest/gtest.h>

using namespace agent_test;

namespace {

const FileDate someDate{std::chrono::seconds(1'700'000'000)};

struct Posted {
    std::string text;
    std::optional<std::string> identifier;
    bool operator==(const Posted&) const = default;
};

std::vector<Posted> takePosted(AgentWorld& world) {
    std::vector<Posted> posted;
    for (const auto& notification : world.center.delivered) {
        EXPECT_EQ(notification.title, "Quorvel");
        EXPECT_EQ(notification.subtitle, "");
        posted.push_back({notification.text, notification.identifier});
    }
    world.center.delivered.clear();
    return posted;
}

} // namespace

TEST(ChangeCheck, ReportsNewModifiedAndDeletedJobsOnly) {
    AgentWorld world;
    writeFile(world.path("Touched.plist"), jobPlist("org.example.touched"));
    setModified(world.path("Touched.plist"), someDate);
    writeFile(world.path("Kept.plist"), jobPlist("org.example.kept"));
    setModified(world.path("Kept.plist"), someDate);
    writeFile(world.path("Old.plist"), jobPlist("org.example.old"));
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    EXPECT_TRUE(world.center.delivered.empty()); // the baseline is never reported

    writeFile(world.path("TestJob.plist"), jobPlist("org.example.test"));
    world.reportAndCheck(world.userAgents);
    const auto full = world.path("TestJob.plist");
    EXPECT_EQ(takePosted(world), (std::vector<Posted>{{"New: ~/Library/LaunchAgents/TestJob.plist", full}}));

    writeFile(full, jobPlist("org.example.test", "<key>RunAtLoad</key><true/>"));
    setModified(full, someDate);
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world),
              (std::vector<Posted>{{"Modified: ~/Library/LaunchAgents/TestJob.plist", full}}));

    // Touched: a new date over the same contents is silent, and the stored date follows.
    setModified(world.path("Touched.plist"), someDate + std::chrono::nanoseconds(1));
    // Contents changed under the same date: silent as well.
    writeFile(world.path("Kept.plist"), jobPlist("org.example.kept2"));
    setModified(world.path("Kept.plist"), someDate);
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world), std::vector<Posted>{});
    EXPECT_EQ(monitorFolders->lastCheckedJobs().at(world.path("Touched.plist")).modifiedDate,
              someDate + std::chrono::nanoseconds(1));

    std::filesystem::remove(full);
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world),
              (std::vector<Posted>{{"Deleted: ~/Library/LaunchAgents/TestJob.plist", std::nullopt}}));

    // Renamed: the new path is new, the old one deleted; new and modified come before every deletion,
    // although the deleted path sorts first.
    std::filesystem::rename(world.path("Old.plist"), world.path("Renamed.plist"));
    writeFile(world.path("Touched.plist"), jobPlist("org.example.touched", "<key>A</key><true/>"));
    setModified(world.path("Touched.plist"), someDate + std::chrono::seconds(5));
    writeFile(world.path("Another.plist"), "not a property list");
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world),
              (std::vector<Posted>{
                  {"New: ~/Library/LaunchAgents/Another.plist", world.path("Another.plist")},
                  {"New: ~/Library/LaunchAgents/Renamed.plist", world.path("Renamed.plist")},
                  {"Modified: ~/Library/LaunchAgents/Touched.plist", world.path("Touched.plist")},
                  {"Deleted: ~/Library/LaunchAgents/Old.plist", std::nullopt},
              }));
}

TEST(ChangeCheck, ExceptionsAndTheMenuBarOwnerSuppressReports) {
    AgentWorld world;
    writeFile(world.path("Excepted.plist"), jobPlist("org.example.excepted"));
    writeFile(world.exceptionsFolder / "Exceptions.plist",
              exceptionsPlist("<string>org.example.excepted</string>"));
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();

    writeFile(world.path("Excepted2.plist"), jobPlist("org.example.excepted"));
    writeFile(world.path("Excepted.plist"), jobPlist("org.example.excepted", "<key>A</key><true/>"));
    setModified(world.path("Excepted.plist"), someDate);
    world.reportAndCheck(world.userAgents);
    std::filesystem::remove(world.path("Excepted.plist"));
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world), std::vector<Posted>{});

    // While the main application owns the menu bar nothing is posted, and it is not posted later either.
    world.workspace.menuBarOwner = "Quorvel";
    writeFile(world.path("Quiet.plist"), jobPlist("org.example.quiet"));
    world.reportAndCheck(world.userAgents);
    world.workspace.menuBarOwner = "Other";
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world), std::vector<Posted>{});

    // A file with no label is suppressed on deletion only by the empty label.
    writeFile(world.path("Plain.txt"), "plain");
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world).size(), 1u);
    writeFile(world.exceptionsFolder / "Exceptions.plist", exceptionsPlist("<string></string>"));
    world.monitorFor(world.exceptionsFolder)->report();
    std::filesystem::remove(world.path("Plain.txt"));
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world), std::vector<Posted>{});
}

TEST(ChangeCheck, RightToLeftPutsThePathFirst) {
    AgentWorld world(true);
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    const auto path = world.path("TestJob.plist");
    writeFile(path, jobPlist("org.example.test"));
    monitorFolders->postNotification(path, MonitorFolders::Kind::new_);
    monitorFolders->postNotification(path, MonitorFolders::Kind::modified);
    monitorFolders->postNotification(path, MonitorFolders::Kind::deleted);
    EXPECT_EQ(takePosted(world), (std::vector<Posted>{
                                     {"~/Library/LaunchAgents/TestJob.plist :New", path},
                                     {"~/Library/LaunchAgents/TestJob.plist :Modified", path},
                                     {"~/Library/LaunchAgents/TestJob.plist :Deleted", std::nullopt},
                                 }));
}

TEST(ChangeCheck, ActivationOpensTheJobOrLaunchesTheApplication) {
    AgentWorld world;
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    auto delegate = world.center.delegate.lock();
    ASSERT_EQ(delegate.get(), monitorFolders.get());

    delegate->didActivateNotification({"Quorvel", "New: ~/a", "", "/home/u/Library/LaunchAgents/a.plist"});
    delegate->didActivateNotification({"Quorvel", "Deleted: ~/a", "", std::nullopt});
    EXPECT_EQ(world.workspace.opened,
              std::vector<std::string>{"quorvel://L2hvbWUvdS9MaWJyYXJ5L0xhdW5jaEFnZW50cy9hLnBsaXN0"});
    EXPECT_EQ(world.workspace.launched, std::vector<std::string>{"app.quorvel.Quorvel"});

    world.scheme.reset();
    auto schemeless = world.make();
    schemeless->openJob({"Quorvel", "New: ~/a", "", "/a"});
    EXPECT_EQ(world.workspace.opened.size(), 1u);
    EXPECT_EQ(world.workspace.launched.size(), 1u);
}
