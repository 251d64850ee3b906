// The Linux desktop backends on their own: the inotify monitor against real folders, and the portable
// decisions beside them (which folder to watch, notification texts and ids, text direction, main queue).
#include "GLibMainQueue.hpp"
#include "InotifyFolderMonitor.hpp"
#include "NotificationText.hpp"
#include "RightToLeft.hpp"
#include "TempFolder.hpp"
#include "WaitFor.hpp"
#include "WatchPlan.hpp"

#include <atomic>
#include <dirent.h>
#include <fstream>
#include <glib.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace agent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(WatchPlan, WatchesTheNearestExistingFolderAndOnlyTheNextStepLeadsOn) {
    const std::set<fs::path> folders = {"/", "/home", "/home/u", "/home/u/Library"};
    const auto isFolder = [&](const fs::path& p) { return folders.count(p) > 0; };

    const WatchPlan plan("/home/u/Library/LaunchAgents/");
    EXPECT_EQ(plan.target(), fs::path("/home/u/Library/LaunchAgents"));
    EXPECT_EQ(plan.folderToWatch(isFolder), fs::path("/home/u/Library"));
    EXPECT_TRUE(plan.leadsToTarget("/home/u/Library", "LaunchAgents"));
    EXPECT_FALSE(plan.leadsToTarget("/home/u/Library", "LaunchDaemons"));
    EXPECT_TRUE(plan.leadsToTarget("/home/u/", "Library"));
    EXPECT_FALSE(plan.leadsToTarget("/home/u", "Documents"));
    EXPECT_FALSE(plan.leadsToTarget("/elsewhere", "home"));

    const WatchPlan system("/System/Library/StartupItems/");
    EXPECT_EQ(system.folderToWatch(isFolder), fs::path("/"));
    EXPECT_TRUE(system.leadsToTarget("/", "System"));

    const WatchPlan present("/home/u/Library");
    EXPECT_EQ(present.folderToWatch(isFolder), fs::path("/home/u/Library"));
    // A folder made of the target's name itself is not a step beyond it.
    EXPECT_FALSE(present.leadsToTarget("/home/u/Library", "Library"));
}

TEST(NotificationText, KeepsValidUtf8ReplacesEveryOtherByteAndEscapesMarkupOnlyWhenAsked) {
    EXPECT_EQ(notificationBody("New: ~/a.plist", true), "New: ~/a.plist");
    EXPECT_EQ(notificationBody("Ä ✓ 😀", false), "Ä ✓ 😀");
    EXPECT_EQ(notificationBody("a&b<c>d", true), "a&amp;b&lt;c&gt;d");
    EXPECT_EQ(notificationBody("a&b<c>d", false), "a&b<c>d");
    // A lone high byte, a truncated sequence, an overlong form, a surrogate, beyond U+10FFFF, and a NUL.
    EXPECT_EQ(notificationBody("x\xffy", false), "x\xEF\xBF\xBDy");
    EXPECT_EQ(notificationBody("\xE2\x9C", false), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(notificationBody("\xC0\xAF", false), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(notificationBody("\xED\xA0\x80", false), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(notificationBody("\xF4\x90\x80\x80", false),
              "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(notificationBody(std::string("a\0b", 3), false), "a\xEF\xBF\xBD"
                                                               "b");
    // Escaping never touches a replaced byte, and a replacement is never escaped.
    EXPECT_EQ(notificationBody("\xff&", true), "\xEF\xBF\xBD&amp;");
    EXPECT_EQ(notificationString("<b>"), "<b>");
    // The printed line: one line whatever the name holds, controls (C0, DEL, C1) replaced.
    EXPECT_EQ(notificationLine("Quorvel", "New: ~/a&<b>.plist"), "Quorvel: New: ~/a&<b>.plist\n");
    EXPECT_EQ(notificationLine("Quorvel", "a\nb\rc\x1b[2Kd\x7f\xC2\x85\xC2\xA0\xff"),
              "Quorvel: a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD"
              "c\xEF\xBF\xBD[2Kd\xEF\xBF\xBD\xEF\xBF\xBD\xC2\xA0\xEF\xBF\xBD\n");
}

TEST(PostedNotifications, OnlyTheDefaultActionOfOurOwnIdsFromTheirServerActivatesAndTheOldestAreForgotten) {
    PostedNotifications posted(3);
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
    for (std::uint32_t id = 10; id < 20; ++id) {
        posted.remember(":1.5", id, {"Quorvel", std::to_string(id), "", std::nullopt});
    }
    EXPECT_EQ(posted.size(), 3u);
    EXPECT_FALSE(posted.activated(":1.5", 9, "default"));
    EXPECT_TRUE(posted.activated(":1.5", 19, "default"));
    posted.forget(":1.5", 12345); // unknown: nothing happens
    EXPECT_EQ(posted.size(), 3u);
}

TEST(RightToLeft, FollowsTheLanguageCodeOfTheLocaleName) {
    for (const char* name : {"ar", "ar_EG.UTF-8", "he_IL", "fa_IR@calendar", "ur", "yi", "ckb_IQ"}) {
        EXPECT_TRUE(isRightToLeftLanguage(name)) << name;
    }
    for (const char* name : {"", "C", "POSIX", "C.UTF-8", "en_US.UTF-8", "de", "hea", "a", "fr_CA"}) {
        EXPECT_FALSE(isRightToLeftLanguage(name)) << name;
    }
}

TEST(GLibMainQueue, BlocksFromOtherThreadsRunOnTheLoopInTheOrderGiven) {
    GLibMainQueue queue;
    GLibTimer timer;
    std::vector<int> order;
    bool timerRan = false;
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) {
            queue.async([&order, i] { order.push_back(i); });
        }
        timer.after(1ms, [&] { timerRan = true; });
    });
    producer.join();
    // Nothing runs inside async: only the loop runs blocks.
    EXPECT_TRUE(order.empty());
    const auto end = std::chrono::steady_clock::now() + 20s;
    while ((order.size() < 100 || !timerRan) && std::chrono::steady_clock::now() < end) {
        g_main_context_iteration(nullptr, TRUE);
    }
    std::vector<int> expected(100);
    for (int i = 0; i < 100; ++i) {
        expected[static_cast<std::size_t>(i)] = i;
    }
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(timerRan);
}

// Counts reports; reports come on the monitor's thread.
class CountingDelegate final : public mortar::MonitorDelegate {
public:
    void folderDidChange(const std::filesystem::path& url) override {
        std::lock_guard lock(mutex_);
        ++count_;
        last_ = url;
    }
    int count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    fs::path last() const {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    mutable std::mutex mutex_;
    int count_ = 0;
    fs::path last_;
};

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

struct Watched {
    explicit Watched(const fs::path& folder)
        : monitor(std::make_shared<InotifyFolderMonitor>(folder)) {
        monitor->setDelegate(delegate);
    }
    // Runs the change and waits for a report that follows it.
    bool reports(const std::function<void()>& change) {
        const int before = delegate->count();
        change();
        return test_support::waitFor([&] { return delegate->count() > before; }, 20s);
    }
    std::shared_ptr<CountingDelegate> delegate = std::make_shared<CountingDelegate>();
    std::shared_ptr<InotifyFolderMonitor> monitor;
};

void write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(InotifyFolderMonitor, ReportsEveryKindOfChangeWithTheFolderURL) {
    test_support::TempFolder root;
    const auto folder = root.path() / "LaunchAgents";
    fs::create_directory(folder);
    Watched watched(folder.string() + "/");

    EXPECT_TRUE(watched.reports([&] { write(folder / "a.plist", "one"); }));
    EXPECT_EQ(watched.delegate->last(), fs::path(folder.string() + "/"));
    EXPECT_TRUE(watched.reports([&] { std::ofstream(folder / "a.plist", std::ios::app) << "two"; }));
    EXPECT_TRUE(watched.reports([&] { fs::permissions(folder / "a.plist", fs::perms::owner_read); }));
    EXPECT_TRUE(watched.reports(
        [&] { fs::last_write_time(folder / "a.plist", fs::last_write_time(folder / "a.plist") + 3s); }));
    EXPECT_TRUE(watched.reports([&] { fs::rename(folder / "a.plist", root.path() / "out.plist"); }));
    EXPECT_TRUE(watched.reports([&] { fs::rename(root.path() / "out.plist", folder / "in.plist"); }));
    EXPECT_TRUE(watched.reports([&] { fs::remove(folder / "in.plist"); }));
    EXPECT_TRUE(watched.reports([&] { fs::create_directory(folder / "sub"); }));
}

TEST(InotifyFolderMonitor, WatchesAMissingFolderFromItsAncestorUntilItAppearsAndAgainAfterItGoes) {
    test_support::TempFolder root;
    const auto folder = root.path() / "home/Library/LaunchAgents";
    Watched watched(folder);
    EXPECT_EQ(watched.monitor->watchedFolder(), root.path());

    // The folder appearing is a report; it may hold files already.
    EXPECT_TRUE(watched.reports([&] { fs::create_directories(folder); }));
    ASSERT_TRUE(test_support::waitFor([&] { return watched.monitor->watchedFolder() == folder; }, 20s));
    EXPECT_TRUE(watched.reports([&] { write(folder / "a.plist", "a"); }));

    EXPECT_TRUE(watched.reports([&] { fs::remove_all(root.path() / "home"); }));
    ASSERT_TRUE(test_support::waitFor([&] { return watched.monitor->watchedFolder() == root.path(); }, 20s));
    EXPECT_TRUE(watched.reports([&] {
        fs::create_directories(folder);
        write(folder / "b.plist", "b");
    }));
    ASSERT_TRUE(test_support::waitFor([&] { return watched.monitor->watchedFolder() == folder; }, 20s));
    EXPECT_TRUE(watched.reports([&] { fs::remove(folder / "b.plist"); }));

    // Moved away is gone as well; moved back is watched again.
    EXPECT_TRUE(watched.reports([&] { fs::rename(folder, root.path() / "aside"); }));
    EXPECT_TRUE(watched.reports([&] { fs::rename(root.path() / "aside", folder); }));
    ASSERT_TRUE(test_support::waitFor([&] { return watched.monitor->watchedFolder() == folder; }, 20s));
    EXPECT_TRUE(watched.reports([&] { write(folder / "c.plist", "c"); }));
}

TEST(InotifyFolderMonitor, FollowsThePathWhenAFolderAboveIsRenamedOrALinkOnTheWayIsReplaced) {
    test_support::TempFolder root;
    const auto folder = root.path() / "home/Library/LaunchAgents";
    fs::create_directories(folder);
    Watched watched(folder);
    ASSERT_EQ(watched.monitor->watchedFolder(), folder);

    // The path now names nothing; the old folder, wherever it went, is not ours.
    EXPECT_TRUE(watched.reports([&] { fs::rename(root.path() / "home", root.path() / "moved"); }));
    ASSERT_TRUE(test_support::waitFor([&] { return watched.monitor->watchedFolder() == root.path(); }, 20s));
    EXPECT_TRUE(watched.reports([&] { fs::create_directories(folder); }));
    ASSERT_TRUE(test_support::waitFor([&] { return watched.monitor->watchedFolder() == folder; }, 20s));
    EXPECT_TRUE(watched.reports([&] { write(folder / "a.plist", "a"); }));

    // The folder made a link to elsewhere, then the link pointed somewhere else again.
    const auto first = root.path() / "first";
    const auto second = root.path() / "second";
    fs::create_directory(first);
    fs::create_directory(second);
    EXPECT_TRUE(watched.reports([&] {
        fs::remove_all(folder);
        fs::create_directory_symlink(first, folder);
    }));
    EXPECT_TRUE(watched.reports([&] { write(first / "b.plist", "b"); }));
    EXPECT_TRUE(watched.reports([&] {
        fs::create_directory_symlink(second, root.path() / "home/Library/link");
        fs::rename(root.path() / "home/Library/link", folder);
    }));
    EXPECT_TRUE(watched.reports([&] { write(second / "c.plist", "c"); }));
}

TEST(InotifyFolderMonitor, StopsWhenDestroyedAndLeavesNoDescriptorBehind) {
    test_support::TempFolder root;
    const auto before = openDescriptors();
    for (int round = 0; round < 20; ++round) {
        Watched watched(root.path());
        // Destroyed while reports may be on their way.
        write(root.path() / ("f" + std::to_string(round)), "x");
    }
    EXPECT_EQ(openDescriptors(), before);

    // A report after the delegate is gone goes nowhere.
    Watched watched(root.path());
    watched.delegate.reset();
    write(root.path() / "after", "x");
}

} // namespace
} // namespace agent
