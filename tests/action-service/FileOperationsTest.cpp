#include "ServiceFakes.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace service_test;
namespace fs = std::filesystem;

namespace {
mode_t modeOf(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 07777;
}
std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
} // namespace

TEST(WriteFile, ReplacesWholeAndStoresUtf8) {
    Service service;
    const std::string path = service.path("job.plist");
    writeFile(path, std::string(10000, 'x'));
    EXPECT_FALSE(service.controller.writeFile("short", path));
    EXPECT_EQ(readFile(path), "short");
    EXPECT_FALSE(service.controller.writeFile("Grüße \xE2\x9C\x93 日本", path));
    EXPECT_EQ(readFile(path), "Gr\xC3\xBC\xC3\x9F"
                              "e \xE2\x9C\x93 \xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_FALSE(service.controller.writeFile("", service.path("empty")));
    EXPECT_TRUE(fs::exists(service.path("empty")));
    EXPECT_EQ(fs::file_size(service.path("empty")), 0u);
    EXPECT_EQ(namesIn(service.folder.path()), (std::vector<std::string>{"empty", "job.plist"}))
        << "no temporary left";

    // The longest name a folder allows: the temporary file's name must not be longer.
    const std::string longest(255, 'n');
    EXPECT_FALSE(service.controller.writeFile("long", service.path(longest)));
    EXPECT_EQ(readFile(service.path(longest)), "long");
    EXPECT_EQ(namesIn(service.folder.path()), (std::vector<std::string>{"empty", "job.plist", longest}));
    EXPECT_TRUE(service.log.lines().empty());
}

TEST(WriteFile, NewFileGetsUmaskedModeAndExistingKeepsOnlyItsPermissionBits) {
    Service service;
    mode_t mask = ::umask(0); // nothing else runs: the test process is single-threaded here
    ::umask(mask);
    const std::string fresh = service.path("fresh");
    EXPECT_FALSE(service.controller.writeFile("a", fresh));
    EXPECT_EQ(modeOf(fresh), 0666 & ~mask);

    const std::string kept = service.path("kept");
    writeFile(kept, "old");
    ::chmod(kept.c_str(), 0640);
    EXPECT_FALSE(service.controller.writeFile("new", kept));
    EXPECT_EQ(modeOf(kept), 0640u);
    // A rewritten file is never set-user-ID, set-group-ID or sticky, whatever it was before.
    for (const auto& [before, after] : {std::pair<mode_t, mode_t>{04711, 0711},
                                        {02755, 0755},
                                        {06750, 0750},
                                        {01644, 0644},
                                        {07777, 0777}}) {
        ::chmod(kept.c_str(), before);
        ASSERT_EQ(modeOf(kept), before);
        EXPECT_FALSE(service.controller.writeFile("newer", kept));
        EXPECT_EQ(modeOf(kept), after) << std::oct << before;
        EXPECT_EQ(readFile(kept), "newer");
    }
}

TEST(WriteFile, FailureLogsAndLeavesDestinationAndFolderAsTheyWere) {
    Service service;
    const std::string missing = service.path("no-folder") + "/job.plist";
    auto reply = service.controller.writeFile("x", missing);
    EXPECT_EQ(reply, posixErrorReply(ENOENT, std::strerror(ENOENT)));
    EXPECT_FALSE(fs::exists(service.path("no-folder"))) << "no folder is created";
    EXPECT_EQ(service.log.lines(), std::vector<std::string>{"Could not write to file: " + missing});

    // The rename fails after the temporary file was written: a folder is in the way.
    const std::string folder = service.path("in-the-way");
    fs::create_directory(folder);
    writeFile(folder + "/inside", "keep");
    reply = service.controller.writeFile("x", folder);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply->at("error").dictionary()->at("domain").string(), "NSPOSIXErrorDomain");
    EXPECT_EQ(readFile(folder + "/inside"), "keep");
    EXPECT_EQ(namesIn(service.folder.path()), std::vector<std::string>{"in-the-way"}) << "temporary removed";
}

TEST(DeleteFile, RemovesFilesFoldersAndLinksButNotWhatLinksPointTo) {
    Service service;
    const std::string folder = service.path("tree");
    fs::create_directories(folder + "/a/b/c");
    writeFile(folder + "/a/b/c/file", "x");
    writeFile(folder + "/top", "x");
    const std::string outside = service.path("outside");
    fs::create_directory(outside);
    writeFile(outside + "/precious", "keep");
    fs::create_directory_symlink(outside, folder + "/a/link");
    EXPECT_FALSE(service.controller.deleteFile(folder));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(readFile(outside + "/precious"), "keep");

    fs::create_directory_symlink(outside, service.path("link"));
    EXPECT_FALSE(service.controller.deleteFile(service.path("link")));
    EXPECT_FALSE(fs::is_symlink(service.path("link")));
    EXPECT_EQ(readFile(outside + "/precious"), "keep");

    // A trailing separator still names the link, never the contents of the folder behind it.
    fs::create_directory_symlink(outside, service.path("link"));
    EXPECT_FALSE(service.controller.deleteFile(service.path("link") + "//"));
    EXPECT_FALSE(fs::is_symlink(service.path("link")));
    EXPECT_EQ(readFile(outside + "/precious"), "keep");
    fs::create_directory(service.path("plain"));
    EXPECT_FALSE(service.controller.deleteFile(service.path("plain") + "/"));
    EXPECT_FALSE(fs::exists(service.path("plain")));
    EXPECT_TRUE(service.log.lines().empty());
}

// A tree deeper than the descriptor limit is removed too: the removal holds a bounded number of
// descriptors, not one per level.
TEST(DeleteFile, RemovesATreeDeeperThanTheDescriptorLimit) {
    Service service;
    const std::string folder = service.path("deep");
    std::string level = folder;
    for (int depth = 0; depth < 600; ++depth) {
        level += "/d";
        fs::create_directories(level);
        if (depth % 100 == 0) {
            writeFile(level + "/file", "x");
            fs::create_directory(level + "/side");
        }
    }
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 128);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const OptionalReply reply = service.controller.deleteFile(folder);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(reply);
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(service.log.lines().empty());
}

TEST(DeleteFile, AMissingPathLogsAndRepliesWithThePosixError) {
    Service service;
    const std::string missing = service.path("gone.plist");
    EXPECT_EQ(service.controller.deleteFile(missing), posixErrorReply(ENOENT, std::strerror(ENOENT)));
    EXPECT_EQ(service.log.lines(), std::vector<std::string>{"Could not delete file: " + missing});
}

// The C calls end a path at its first NUL byte: such a path must name nothing, never its prefix.
TEST(FileOperations, APathWithANulByteNamesNoOtherFile) {
    Service service;
    const std::string folder = service.path("LaunchAgents");
    fs::create_directory(folder);
    writeFile(folder + "/keep.plist", "keep");
    const std::string hidden = folder + std::string("\0/job.plist", 11);

    EXPECT_FALSE(service.files.exists(hidden));
    EXPECT_EQ(service.controller.deleteFile(hidden), posixErrorReply(EINVAL, std::strerror(EINVAL)));
    EXPECT_EQ(service.controller.writeFile("x", folder + std::string("/keep.plist\0", 12)),
              posixErrorReply(EINVAL, std::strerror(EINVAL)));
    EXPECT_TRUE(std::holds_alternative<PlatformError>(service.files.read(folder + "/keep.plist" + '\0', 1)));
    EXPECT_EQ(readFile(folder + "/keep.plist"), "keep");
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"keep.plist"});
}
