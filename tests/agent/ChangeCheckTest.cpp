#include "AgentFakes.hpp"

#include <functional>
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

    // Touched: a new date over the same contents is silent, and the stored date follows. The scan's one
    // reading decides it; the file is not read again.
    setModified(world.path("Touched.plist"), someDate + std::chrono::nanoseconds(1));
    // Contents changed under the same date: modified all the same.
    writeFile(world.path("Kept.plist"), jobPlist("org.example.kept2"));
    setModified(world.path("Kept.plist"), someDate);
    const int touchedOpenings = world.seam.openingsOf(world.path("Touched.plist"));
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world), (std::vector<Posted>{{"Modified: ~/Library/LaunchAgents/Kept.plist",
                                                       world.path("Kept.plist")}}));
    EXPECT_EQ(monitorFolders->lastCheckedJobs().at(world.path("Touched.plist")).modifiedDate,
              someDate + std::chrono::nanoseconds(1));
    EXPECT_EQ(world.seam.openingsOf(world.path("Touched.plist")), touchedOpenings + 1);

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

// A file the parser refuses (it holds <key/>) has no label, whatever label its bytes seem to name: so its
// creation and its deletion are both reported, though that label is excepted.
TEST(ChangeCheck, AFileThatSeemsToNameAnExceptedLabelButDoesNotParseIsReportedBothWays) {
    AgentWorld world;
    writeFile(world.exceptionsFolder / "Exceptions.plist", exceptionsPlist("<string>a</string>"));
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();

    const auto file = world.path("EmptyKey.plist");
    writeFile(file, "<plist><dict><key/><string>z</string><key>Label</key><string>a</string></dict></plist>");
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world).size(), 1u);
    EXPECT_EQ(monitorFolders->lastCheckedJobs().at(file).label, "");
    std::filesystem::remove(file);
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world).size(), 1u);
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

namespace {

// Job files of one size whose contents differ in one character.
std::string version(char c) {
    return jobPlist(std::string("org.example.job.") + c);
}

} // namespace

TEST(ChangeCheck, EveryWayOfChangingAFileReportsWhatAFullReadingWould) {
    AgentWorld world;
    world.timestampResolution = std::chrono::nanoseconds(0); // recognise every file by its status alone
    const auto job = world.path("Job.plist");
    const auto link = world.path("Link.plist");
    const auto outside = world.temp.path(); // beside the job folders, on the same file system
    const auto probe = outside / "probe";
    writeFile(job, version('a'));
    setModified(job, someDate);
    writeFile(world.path("Still.plist"), version('s'));
    for (const char c : {'x', 'y'}) {
        writeFile(outside / std::string(1, c), version(c));
        setModified(outside / std::string(1, c), someDate);
    }
    writeFile(outside / "y-copy", version('y'));
    setModified(outside / "y-copy", someDate);
    std::filesystem::create_symlink(outside / "x", link);
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    const std::vector<Posted> jobModified{{"Modified: ~/Library/LaunchAgents/Job.plist", job}};
    const std::vector<Posted> linkModified{{"Modified: ~/Library/LaunchAgents/Link.plist", link}};

    const auto step = [&](const std::string& what, const std::filesystem::path& changed,
                          const std::function<void()>& change, const std::vector<Posted>& expected) {
        ASSERT_TRUE(waitForLaterTimestamps(changed, probe)) << what;
        change();
        const int stillOpenings = world.seam.openingsOf(world.path("Still.plist"));
        world.reportAndCheck(world.userAgents);
        EXPECT_EQ(takePosted(world), expected) << what;
        EXPECT_EQ(world.seam.openingsOf(world.path("Still.plist")), stillOpenings) << what << ": read again";
        // The snapshot holds what a reading of every file gives, labels included.
        EXPECT_EQ(monitorFolders->lastCheckedJobs(), world.make()->scanJobFolders()) << what;
    };
    const auto writeDated = [](const std::filesystem::path& path, const std::string& contents) {
        writeFile(path, contents);
        setModified(path, someDate);
    };

    step(
        "written", job, [&] { writeFile(job, version('b') + "<!-- longer -->"); }, jobModified);
    step(
        "truncated and rewritten to the same size", job, [&] { writeFile(job, version('c')); }, jobModified);
    step(
        "edited, then its date copied back (touch -r)", job, [&] { writeDated(job, version('d')); },
        jobModified);
    step("touched", job, [&] { setModified(job, someDate + std::chrono::seconds(5)); }, {});
    step("permissions changed", job,
         [&] { std::filesystem::permissions(job, std::filesystem::perms::owner_all); }, {});
    step(
        "copied over with its dates (cp -p)", job,
        [&] {
            writeDated(outside / "copy", version('e'));
            std::filesystem::copy_file(outside / "copy", job,
                                       std::filesystem::copy_options::overwrite_existing);
            setModified(job, someDate);
        },
        jobModified);
    step(
        "renamed over with the same size and date", job,
        [&] {
            writeDated(outside / "renamed", version('f'));
            std::filesystem::rename(outside / "renamed", job);
        },
        jobModified);
    step(
        "hard link swapped (ln -f)", job,
        [&] {
            writeDated(outside / "linked", version('g'));
            std::filesystem::remove(job);
            std::filesystem::create_hard_link(outside / "linked", job);
        },
        jobModified);
    step("hard link swapped to the same contents", job,
         [&] {
             writeDated(outside / "linked-copy", version('g'));
             std::filesystem::remove(job);
             std::filesystem::create_hard_link(outside / "linked-copy", job);
         },
         {});
    step("deleted and made again with the same contents and date", job,
         [&] {
             std::filesystem::remove(job);
             writeDated(job, version('g'));
         },
         {});
    step(
        "link retargeted to a file of the same size and date", link,
        [&] {
            std::filesystem::remove(link);
            std::filesystem::create_symlink(outside / "y", link);
        },
        linkModified);
    step("link retargeted to the same contents", link,
         [&] {
             std::filesystem::remove(link);
             std::filesystem::create_symlink(outside / "y-copy", link);
         },
         {});
    step(
        "link target rewritten in place", link, [&] { writeDated(outside / "y-copy", version('z')); },
        linkModified);
}

TEST(ChangeCheck, AnUnchangedFileIsReadOnceAcrossChecks) {
    for (const bool recent : {false, true}) {
        AgentWorld world;
        // Recent: changed within the timestamp resolution of every reading, so it could change again unseen.
        world.timestampResolution = recent ? std::chrono::hours(1) : std::chrono::nanoseconds(0);
        const auto large = world.path("Large.plist");
        writeFile(large, std::string(16u << 20, 'x'));
        auto monitorFolders = world.make();
        monitorFolders->startMonitoring();
        for (int k = 0; k < 3; ++k) {
            const auto job = world.path("Job" + std::to_string(k) + ".plist");
            writeFile(job, jobPlist("org.example.job"));
            world.reportAndCheck(world.userAgents);
            EXPECT_EQ(takePosted(world),
                      (std::vector<Posted>{
                          {"New: ~/Library/LaunchAgents/Job" + std::to_string(k) + ".plist", job}}));
        }
        EXPECT_EQ(world.seam.openingsOf(large), recent ? 4 : 1);
        EXPECT_TRUE(monitorFolders->lastCheckedJobs().contains(large));
    }
}

TEST(ChangeCheck, AFileThatCannotBeReadNowKeepsItsLastReading) {
    AgentWorld world;
    const auto busy = world.path("Busy.plist");
    const auto locked = world.path("Locked.plist");
    const auto fresh = world.path("Fresh.plist");
    writeFile(busy, jobPlist("org.example.busy"));
    writeFile(locked, jobPlist("org.example.locked"));
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    const auto baseline = monitorFolders->lastCheckedJobs();

    // Changing under both readings of every scan, refused as by its permissions, and never read yet.
    world.seam.moving = {busy, fresh};
    world.seam.refused = {locked};
    writeFile(fresh, jobPlist("org.example.fresh"));
    for (int k = 0; k < 2; ++k) {
        world.reportAndCheck(world.userAgents);
        EXPECT_EQ(takePosted(world), std::vector<Posted>{});
        EXPECT_EQ(monitorFolders->lastCheckedJobs(), baseline);
    }

    // Once they read consistently, what changed meanwhile is reported, once.
    world.seam.moving.clear();
    world.seam.refused.clear();
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world), (std::vector<Posted>{{"Modified: ~/Library/LaunchAgents/Busy.plist", busy},
                                                      {"New: ~/Library/LaunchAgents/Fresh.plist", fresh}}));
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world), std::vector<Posted>{});
    EXPECT_EQ(monitorFolders->lastCheckedJobs().at(locked), baseline.at(locked));
}

TEST(ChangeCheck, EachNameMeetsItsLastReadingWhereverItSortsAndAFolderListedTwiceCountsOnce) {
    AgentWorld world;
    // The user's folder twice, spelled with and without its trailing separator.
    world.folders.push_back(world.userAgents);
    const auto daemons = world.folders[2];
    std::filesystem::create_directories(daemons);
    for (const std::string name : {"a", "a.plist", "b", "\xc3\xa9.plist", "Z"}) {
        // "a.plist" is named after its label; "b" is not.
        writeFile(world.path(name), jobPlist(name == "b" ? "org.example.other" : "a"));
    }
    writeFile(daemons / "a", jobPlist("org.example.daemon"));
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    EXPECT_EQ(monitorFolders->lastCheckedJobs().size(), 6u);
    EXPECT_EQ(monitorFolders->lastCheckedJobs().at(world.path("a.plist")).label, "a");
    EXPECT_EQ(monitorFolders->lastCheckedJobs().at(world.path("b")).label, "org.example.other");
    EXPECT_EQ(monitorFolders->lastCheckedJobs().at((daemons / "a").string()).label, "org.example.daemon");

    std::filesystem::remove(world.path("a"));
    writeFile(world.path("a0"), jobPlist("a0"));
    writeFile(world.path("b"), jobPlist("org.example.other", "<key>A</key><true/>"));
    writeFile(daemons / "0", jobPlist("org.example.zero"));
    std::filesystem::remove(daemons / "a");
    world.reportAndCheck(world.userAgents);
    const auto daemon = [&](const std::string& name) { return (daemons / name).string(); };
    EXPECT_EQ(takePosted(world), (std::vector<Posted>{
                                     {"New: ~/Library/LaunchAgents/a0", world.path("a0")},
                                     {"Modified: ~/Library/LaunchAgents/b", world.path("b")},
                                     {"New: " + daemon("0"), daemon("0")},
                                     {"Deleted: ~/Library/LaunchAgents/a", std::nullopt},
                                     {"Deleted: " + daemon("a"), std::nullopt},
                                 }));

    // A deletion is matched with the label stored for it, also where the label is no part of the name.
    writeFile(world.exceptionsFolder / "Exceptions.plist",
              exceptionsPlist("<string>org.example.other</string>"));
    monitorFolders->readExceptions();
    std::filesystem::remove(world.path("b"));
    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(takePosted(world), std::vector<Posted>{});
    EXPECT_EQ(monitorFolders->lastCheckedJobs(), world.make()->scanJobFolders());
}
