// Which folders a monitor watches on the way to its folder, and how: pure path logic over a
// made-up disk.
#include "frameworks/WatchPlan.hpp"

#include <gtest/gtest.h>
#include <map>

namespace agent {
namespace {

namespace fs = std::filesystem;

TEST(WatchPlan, FollowsTheWayNameByNameThroughLinksAndStopsWhereItEnds) {
    using Kind = PathEntry::Kind;
    std::map<fs::path, PathEntry> disk = {
        {"/home", {Kind::folder, {}}},
        {"/home/u", {Kind::folder, {}}},
        {"/home/u/Library", {Kind::link, "/data/lib"}},
        {"/data", {Kind::folder, {}}},
        {"/data/lib", {Kind::folder, {}}},
        {"/data/lib/LaunchAgents", {Kind::link, "../real/agents"}},
        {"/data/real", {Kind::folder, {}}},
        {"/data/real/agents", {Kind::folder, {}}},
    };
    const auto lookUp = [&](const fs::path& p) {
        const auto found = disk.find(p);
        return found == disk.end() ? PathEntry{} : found->second;
    };

    const WatchPlan plan("/home/u/Library/LaunchAgents/");
    EXPECT_EQ(plan.target(), fs::path("/home/u/Library/LaunchAgents"));
    auto resolution = plan.resolve(lookUp);
    EXPECT_TRUE(resolution.reachesTarget);
    EXPECT_EQ(resolution.folder, fs::path("/data/real/agents"));
    // The path's own folders, then those of each link's target: a move of any of them moves the way.
    EXPECT_EQ(resolution.steps, (std::vector<WatchStep>{{"/", "home"},
                                                        {"/home", "u"},
                                                        {"/home/u", "Library"},
                                                        {"/", "data"},
                                                        {"/data", "lib"},
                                                        {"/data/lib", "LaunchAgents"},
                                                        {"/data", "real"},
                                                        {"/data/real", "agents"}}));

    // The link's target gone: the way ends in its folder, which is watched for the name's return.
    disk.erase("/data/real/agents");
    resolution = plan.resolve(lookUp);
    EXPECT_FALSE(resolution.reachesTarget);
    EXPECT_EQ(resolution.folder, fs::path("/data/real"));
    EXPECT_EQ(resolution.steps.back(), (WatchStep{"/data/real", "agents"}));

    // A file where a folder should be, and a loop of links, end the way too.
    disk["/data/real/agents"] = {Kind::other, {}};
    EXPECT_FALSE(plan.resolve(lookUp).reachesTarget);
    disk["/data/real/agents"] = {Kind::link, "/data/real/agents"};
    resolution = plan.resolve(lookUp);
    EXPECT_FALSE(resolution.reachesTarget);
    EXPECT_EQ(resolution.folder, fs::path("/data/real"));

    // Folders on the way to a folder need only their own end; the folder a link is in, or where the way
    // stops, is told of its entries.
    disk["/data/real/agents"] = {Kind::folder, {}};
    using Events = FolderWatch::Events;
    EXPECT_EQ(folderWatches(plan.resolve(lookUp)),
              (std::vector<FolderWatch>{{"/", Events::self},
                                        {"/data", Events::self},
                                        {"/data/lib", Events::entries},
                                        {"/data/real", Events::self},
                                        {"/data/real/agents", Events::contents},
                                        {"/home", Events::self},
                                        {"/home/u", Events::entries}}));
    disk.erase("/data/real/agents");
    EXPECT_EQ(folderWatches(plan.resolve(lookUp)), (std::vector<FolderWatch>{{"/", Events::self},
                                                                             {"/data", Events::self},
                                                                             {"/data/lib", Events::entries},
                                                                             {"/data/real", Events::entries},
                                                                             {"/home", Events::self},
                                                                             {"/home/u", Events::entries}}));
    // A folder on the way to one folder and where the way to another stops keeps the most it needs.
    EXPECT_EQ(folderWatches(Resolution{"/", false, {{"/", "System"}, {"/", "home", true}}}),
              (std::vector<FolderWatch>{{"/", Events::entries}}));
    // A step that finds a folder where it found a link is another way, although the names are the same.
    EXPECT_NE((Resolution{"/a", true, {{"/", "a", true}}}), (Resolution{"/a", true, {{"/", "a", false}}}));

    const WatchPlan root("/System/Library/StartupItems");
    resolution = root.resolve(lookUp);
    EXPECT_EQ(resolution.folder, fs::path("/"));
    EXPECT_EQ(resolution.steps, (std::vector<WatchStep>{{"/", "System"}}));
}

} // namespace
} // namespace agent
