// The Linux desktop backends on their own: the inotify monitors against real folders (through a seam that
// makes the calls fail on demand), and the portable decisions beside them (the notification body as
// markup, text direction, main queue).
#include "GLibMainQueue.hpp"
#include "InotifyFolderMonitor.hpp"
#include "NotificationText.hpp"
#include "RightToLeft.hpp"
#include "TempFolder.hpp"
#include "WaitFor.hpp"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <glib.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace agent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(NotificationText, EscapesMarkupInTheBusBody) {
    const std::string r = "\xEF\xBF\xBD";
    // The bus body, where the server reads markup.
    EXPECT_EQ(markupEscaped("a&b<c>d" + r), "a&amp;b&lt;c&gt;d" + r);
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

    // Never before its delay, also a delay that is no whole number of milliseconds; one already past runs.
    const auto start = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::duration> ranAfter;
    bool pastRan = false;
    timer.after(1500us, [&] { ranAfter = std::chrono::steady_clock::now() - start; });
    timer.after(-1s, [&] { pastRan = true; });
    while ((!ranAfter || !pastRan) && std::chrono::steady_clock::now() < start + 20s) {
        g_main_context_iteration(nullptr, TRUE);
    }
    ASSERT_TRUE(ranAfter);
    EXPECT_GE(*ranAfter, 1500us);
    EXPECT_TRUE(pastRan);
}

// The system's inotify calls, made to fail on demand; it tells which folders the kernel watches now.
class FailingInotifyCalls final : public InotifyCalls {
public:
    int init() override {
        if (initError) {
            errno = *initError;
            return -1;
        }
        descriptor = real_.init();
        return descriptor;
    }
    int addWatch(int fd, const char* path, std::uint32_t mask) override {
        const auto found = watchErrors.find(path);
        if (found != watchErrors.end()) {
            errno = found->second;
            return -1;
        }
        return real_.addWatch(fd, path, mask);
    }
    int removeWatch(int fd, int watch) override { return real_.removeWatch(fd, watch); }

    // Whether the descriptor holds a live watch on the folder the path names now.
    bool watches(const fs::path& path) const {
        struct stat status {};
        if (descriptor < 0 || ::stat(path.c_str(), &status) != 0) {
            return false;
        }
        std::ifstream info("/proc/self/fdinfo/" + std::to_string(descriptor));
        for (std::string line; std::getline(info, line);) {
            const auto at = line.find(" ino:");
            if (line.rfind("inotify wd:", 0) == 0 && at != std::string::npos &&
                std::stoull(line.substr(at + 5), nullptr, 16) == status.st_ino) {
                return true;
            }
        }
        return false;
    }

    std::optional<int> initError;
    std::map<std::string, int> watchErrors;
    int descriptor = -1;

private:
    SystemInotifyCalls real_;
};

// Holds the closures; the test runs them, so no real time passes.
class SteppedTimer final : public Timer {
public:
    void after(std::chrono::nanoseconds delay, std::function<void()> closure) override {
        pending.push_back({std::chrono::duration_cast<std::chrono::seconds>(delay), std::move(closure)});
    }
    std::chrono::seconds nextDelay() const { return pending.empty() ? 0s : pending.front().first; }
    void fire() {
        auto closure = std::move(pending.front().second);
        pending.pop_front();
        closure();
    }
    std::deque<std::pair<std::chrono::seconds, std::function<void()>>> pending;
};

// Counts reports; they come on the main loop.
class CountingDelegate final : public mortar::MonitorDelegate {
public:
    void folderDidChange(const std::filesystem::path& url) override {
        ++count;
        last = url;
    }
    int count = 0;
    fs::path last;
};

// Runs the main loop until the condition holds or the deadline passes.
template <typename Condition> bool runUntil(Condition&& condition, std::chrono::milliseconds deadline = 20s) {
    return test_support::waitFor(
        [&] {
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            return condition();
        },
        deadline);
}

std::size_t count(const fs::path& folder, const std::string& linkTarget = "") {
    std::size_t result = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::error_code error;
        const auto target = fs::read_symlink(entry.path(), error);
        result += linkTarget.empty() || (!error && target.string() == linkTarget) ? 1u : 0u;
    }
    return result;
}

struct Monitors {
    FailingInotifyCalls calls;
    SteppedTimer timer;
    std::vector<std::string> log;
    std::optional<InotifyMonitorFactory> factory{std::in_place, calls, timer,
                                                 [this](const std::string& line) { log.push_back(line); }};
};

struct Watched {
    Watched(Monitors& monitors, const fs::path& folder)
        : monitor(monitors.factory->makeMonitor(folder)) {
        monitor->setDelegate(delegate);
    }
    // Runs the change and waits for a report that follows it.
    bool reports(const std::function<void()>& change) {
        const int before = delegate->count;
        change();
        return runUntil([&] { return delegate->count > before; });
    }
    std::shared_ptr<CountingDelegate> delegate = std::make_shared<CountingDelegate>();
    std::shared_ptr<mortar::SingleFolderMonitor> monitor;
};

void write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(InotifyFolderMonitor, ReportsEveryKindOfChangeWithTheFolderURL) {
    test_support::TempFolder root;
    const auto folder = root.path() / "LaunchAgents";
    fs::create_directory(folder);
    Monitors monitors;
    Watched watched(monitors, folder.string() + "/");

    EXPECT_TRUE(watched.reports([&] { write(folder / "a.plist", "one"); }));
    EXPECT_EQ(watched.delegate->last, fs::path(folder.string() + "/"));
    EXPECT_TRUE(watched.reports([&] { std::ofstream(folder / "a.plist", std::ios::app) << "two"; }));
    EXPECT_TRUE(watched.reports([&] { fs::permissions(folder / "a.plist", fs::perms::owner_read); }));
    EXPECT_TRUE(watched.reports(
        [&] { fs::last_write_time(folder / "a.plist", fs::last_write_time(folder / "a.plist") + 3s); }));
    EXPECT_TRUE(watched.reports([&] { fs::rename(folder / "a.plist", root.path() / "out.plist"); }));
    EXPECT_TRUE(watched.reports([&] { fs::rename(root.path() / "out.plist", folder / "in.plist"); }));
    EXPECT_TRUE(watched.reports([&] { fs::remove(folder / "in.plist"); }));
    EXPECT_TRUE(watched.reports([&] { fs::create_directory(folder / "sub"); }));
    EXPECT_TRUE(monitors.log.empty());
}

TEST(InotifyFolderMonitor, WatchesAMissingFolderFromItsAncestorUntilItAppearsAndAgainAfterItGoes) {
    test_support::TempFolder root;
    const auto folder = root.path() / "home/Library/LaunchAgents";
    Monitors monitors;
    Watched watched(monitors, folder);
    EXPECT_TRUE(monitors.calls.watches(root.path()));

    // The folder appearing is a report; it may hold files already.
    EXPECT_TRUE(watched.reports([&] { fs::create_directories(folder); }));
    ASSERT_TRUE(runUntil([&] { return monitors.calls.watches(folder); }));
    EXPECT_TRUE(watched.reports([&] { write(folder / "a.plist", "a"); }));

    EXPECT_TRUE(watched.reports([&] { fs::remove_all(root.path() / "home"); }));
    EXPECT_TRUE(watched.reports([&] {
        fs::create_directories(folder);
        write(folder / "b.plist", "b");
    }));
    ASSERT_TRUE(runUntil([&] { return monitors.calls.watches(folder); }));
    EXPECT_TRUE(watched.reports([&] { fs::remove(folder / "b.plist"); }));

    // Moved away is gone as well; moved back is watched again.
    EXPECT_TRUE(watched.reports([&] { fs::rename(folder, root.path() / "aside"); }));
    EXPECT_TRUE(watched.reports([&] { fs::rename(root.path() / "aside", folder); }));
    EXPECT_TRUE(watched.reports([&] { write(folder / "c.plist", "c"); }));
}

TEST(InotifyFolderMonitor, FollowsThePathWhenAFolderAboveIsRenamedOrALinkOnTheWayIsReplaced) {
    test_support::TempFolder root;
    const auto folder = root.path() / "home/Library/LaunchAgents";
    fs::create_directories(folder);
    Monitors monitors;
    Watched watched(monitors, folder);
    ASSERT_TRUE(monitors.calls.watches(folder));

    // The path now names nothing; the old folder, wherever it went, is not ours.
    EXPECT_TRUE(watched.reports([&] { fs::rename(root.path() / "home", root.path() / "moved"); }));
    ASSERT_TRUE(
        runUntil([&] { return !monitors.calls.watches(root.path() / "moved/Library/LaunchAgents"); }));
    EXPECT_TRUE(watched.reports([&] { fs::create_directories(folder); }));
    ASSERT_TRUE(runUntil([&] { return monitors.calls.watches(folder); }));
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
    ASSERT_TRUE(runUntil([&] { return !monitors.calls.watches(first); }));
}

// Files made and deleted in the home folder, or anywhere else beside the way, queue no event at all: the
// folders on the way are watched for their own end only.
TEST(InotifyFolderMonitor, FilesComingAndGoingBesideTheWayWakeNobody) {
    test_support::TempFolder root;
    const auto home = root.path() / "home";
    const auto folder = home / "Library/LaunchAgents";
    fs::create_directories(folder);
    Monitors monitors;
    Watched watched(monitors, folder);
    ASSERT_TRUE(monitors.calls.watches(home));
    const auto pending = [&] {
        pollfd descriptor{monitors.calls.descriptor, POLLIN, 0};
        return ::poll(&descriptor, 1, 0) != 0;
    };
    ASSERT_TRUE(runUntil([&] { return !pending(); }));
    for (int i = 0; i < 100; ++i) {
        const auto file = home / ("file" + std::to_string(i));
        write(file, "x");
        fs::remove(file);
    }
    fs::create_directory(home / "Documents");
    fs::remove(home / "Documents");
    EXPECT_FALSE(pending());
    EXPECT_TRUE(watched.reports([&] { write(folder / "a.plist", "a"); }));
    // Still followed: the home folder moving away takes the folder with it.
    EXPECT_TRUE(watched.reports([&] { fs::rename(home, root.path() / "moved"); }));
}

// A job folder that is a link: a folder above the link's target moving takes the target away too.
TEST(InotifyFolderMonitor, FollowsALinkedFolderWhenAFolderAboveItsTargetMoves) {
    test_support::TempFolder root;
    const auto real = root.path() / "data/real/LaunchAgents";
    fs::create_directories(real);
    fs::create_directories(root.path() / "home/Library");
    const auto folder = root.path() / "home/Library/LaunchAgents";
    fs::create_directory_symlink("../../data/real/LaunchAgents", folder);
    Monitors monitors;
    Watched watched(monitors, folder);
    ASSERT_TRUE(monitors.calls.watches(real));
    EXPECT_TRUE(watched.reports([&] { write(real / "a.plist", "a"); }));

    // The link dangles now: reported, and the moved folder is no longer watched.
    EXPECT_TRUE(watched.reports([&] { fs::rename(root.path() / "data/real", root.path() / "data/moved"); }));
    ASSERT_TRUE(runUntil([&] { return !monitors.calls.watches(root.path() / "data/moved/LaunchAgents"); }));
    // The target made again where the link points: watched and reported.
    EXPECT_TRUE(watched.reports([&] { fs::create_directories(real); }));
    ASSERT_TRUE(runUntil([&] { return monitors.calls.watches(real); }));
    EXPECT_TRUE(watched.reports([&] { write(real / "b.plist", "b"); }));
    // The folder above the target replaced by a link to another folder.
    const auto other = root.path() / "other";
    fs::create_directories(other / "real/LaunchAgents");
    EXPECT_TRUE(watched.reports([&] {
        fs::create_directory_symlink(other / "real", root.path() / "data/link");
        fs::remove_all(root.path() / "data/real");
        fs::rename(root.path() / "data/link", root.path() / "data/real");
    }));
    ASSERT_TRUE(runUntil([&] { return monitors.calls.watches(other / "real/LaunchAgents"); }));
    EXPECT_TRUE(watched.reports([&] { write(other / "real/LaunchAgents/c.plist", "c"); }));
}

TEST(InotifyFolderMonitor, ADescriptorOrWatchThatCannotBeMadeIsLoggedAndTriedAgainWithBackoffUntilItIs) {
    test_support::TempFolder root;
    const auto folder = root.path() / "LaunchAgents";
    fs::create_directory(folder);
    Monitors monitors;
    monitors.calls.initError = EMFILE;
    Watched watched(monitors, folder);
    ASSERT_EQ(monitors.log.size(), 1u);
    EXPECT_NE(monitors.log[0].find(folder.string()), std::string::npos) << monitors.log[0];
    EXPECT_NE(monitors.log[0].find(std::strerror(EMFILE)), std::string::npos) << monitors.log[0];
    EXPECT_EQ(monitors.log[0].back(), '\n');
    // Each attempt is a report, so the agent looks at the folder while it is not watched.
    for (const auto delay : {1s, 2s, 4s, 8s, 16s, 32s, 60s, 60s}) {
        ASSERT_EQ(monitors.timer.pending.size(), 1u);
        EXPECT_EQ(monitors.timer.nextDelay(), delay);
        const int before = watched.delegate->count;
        monitors.timer.fire();
        EXPECT_EQ(watched.delegate->count, before + 1);
    }
    EXPECT_EQ(monitors.log.size(), 1u); // one line for the whole spell
    monitors.calls.initError.reset();
    monitors.timer.fire();
    EXPECT_TRUE(monitors.timer.pending.empty());
    EXPECT_TRUE(watched.reports([&] { write(folder / "a.plist", "a"); }));

    // A watch refused (the user's watch limit reached): the folders it could watch stay watched.
    const auto refused = root.path() / "Refused";
    fs::create_directory(refused);
    monitors.calls.watchErrors[refused.string()] = ENOSPC;
    Watched second(monitors, refused);
    ASSERT_EQ(monitors.log.size(), 2u);
    EXPECT_NE(monitors.log[1].find(refused.string()), std::string::npos) << monitors.log[1];
    EXPECT_NE(monitors.log[1].find(std::strerror(ENOSPC)), std::string::npos) << monitors.log[1];
    EXPECT_TRUE(monitors.calls.watches(root.path()));
    EXPECT_EQ(monitors.timer.nextDelay(), 1s);
    monitors.timer.fire();
    EXPECT_EQ(second.delegate->count, 1);
    monitors.calls.watchErrors.clear();
    monitors.timer.fire();
    EXPECT_TRUE(monitors.timer.pending.empty());
    EXPECT_TRUE(monitors.calls.watches(refused));
    EXPECT_TRUE(second.reports([&] { write(refused / "b.plist", "b"); }));
    // The first monitor still works beside it, on the same descriptor.
    EXPECT_TRUE(watched.reports([&] { write(folder / "c.plist", "c"); }));
}

TEST(InotifyFolderMonitor, EveryMonitorSharesOneDescriptorAndNoThreadAndNothingIsLeftBehind) {
    test_support::TempFolder root;
    const auto inotifyDescriptors = [] { return count("/proc/self/fd", "anon_inode:inotify"); };
    runUntil([] { return true; }); // the main context's own descriptor is made once, before counting
    const auto descriptors = count("/proc/self/fd");
    const auto threads = count("/proc/self/task");
    {
        Monitors monitors;
        std::vector<std::unique_ptr<Watched>> all;
        for (int i = 0; i < 8; ++i) {
            all.push_back(std::make_unique<Watched>(monitors, root.path() / ("folder" + std::to_string(i))));
        }
        EXPECT_EQ(inotifyDescriptors(), 1u);
        EXPECT_EQ(count("/proc/self/task"), threads);
        // Both see the folder made, though they share its parent's watch; one going leaves the other's.
        EXPECT_TRUE(all[3]->reports([&] { fs::create_directory(root.path() / "folder3"); }));
        all[2].reset();
        EXPECT_TRUE(all[3]->reports([&] { write(root.path() / "folder3/a", "a"); }));
        EXPECT_TRUE(all[4]->reports([&] { fs::create_directory(root.path() / "folder4"); }));
        // Monitors destroyed while events for them wait.
        write(root.path() / "folder3/b", "b");
        all.clear();
        runUntil([] { return true; });
    }
    EXPECT_EQ(count("/proc/self/fd"), descriptors);
}

// When the kernel's event queue overflows, the events that tell of a replaced folder are lost: every
// monitor looks again, watches what the path names now, and reports.
TEST(InotifyFolderMonitor, AfterLostEventsTheMonitorLooksAgainAndWatchesWhatThePathNamesNow) {
    test_support::TempFolder root;
    const auto folder = root.path() / "LaunchAgents";
    fs::create_directory(folder);
    write(folder / "a", "a");
    write(folder / "b", "b");
    Monitors monitors;
    Watched watched(monitors, folder);
    std::size_t limit = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    // Two files in turn, so that the kernel merges no event with the one before.
    for (std::size_t i = 0; i <= limit; ++i) {
        ::chmod((folder / (i % 2 == 0 ? "a" : "b")).c_str(), i % 4 < 2 ? 0600 : 0644);
    }
    fs::rename(folder, root.path() / "old");
    fs::create_directory(folder);
    ASSERT_TRUE(runUntil([&] { return monitors.calls.watches(folder); }));
    EXPECT_TRUE(watched.reports([&] { write(folder / "c", "c"); }));
}

} // namespace
} // namespace agent
