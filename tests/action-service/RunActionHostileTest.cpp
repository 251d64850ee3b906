// Requests a hostile caller might send: paths that would reach beyond the item they name, and texts
// that would forge or garble log lines.
#include "ServiceFakes.hpp"
#include "Utf8.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace service_test;
namespace fs = std::filesystem;

namespace {

const Dictionary success;

// Every entry under the folder, links not followed, with the contents of files and the targets of links.
std::map<std::string, std::string> treeOf(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().lexically_relative(folder).string();
        if (entry.is_symlink()) {
            tree[name] = "-> " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_regular_file()) {
            tree[name] = readFile(entry.path());
        } else {
            tree[name] = "folder";
        }
    }
    return tree;
}

// Runs the test in a folder of its own, so that a relative path that is not refused can only
// harm the temp tree.
class WorkingFolder {
public:
    explicit WorkingFolder(const fs::path& folder)
        : saved_(fs::current_path()) {
        fs::current_path(folder);
    }
    ~WorkingFolder() { fs::current_path(saved_); }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

private:
    fs::path saved_;
};

} // namespace

TEST(RunActionPaths, OnlyAbsoluteNormalizedPathsAreActedOn) {
    Service service;
    const std::string root = service.folder.path().string();
    fs::create_directories(root + "/files/victim/inner");
    writeFile(root + "/files/victim/inner/file", "inner");
    writeFile(root + "/files/canary", "canary");
    fs::create_directories(root + "/elsewhere");
    writeFile(root + "/elsewhere/precious", "precious");
    fs::create_directories(root + "/jobs");
    fs::create_directory_symlink(root + "/elsewhere", root + "/jobs/link");
    writeFile(root + "/jobs/job.plist", "job");
    const auto before = treeOf(root);
    WorkingFolder inside(root + "/files/victim/inner");

    const std::vector<std::string> bad{".",
                                       "..",
                                       "a/../..",
                                       "jobs/link/.",
                                       "file",
                                       "./file",
                                       "",
                                       "/",
                                       "//",
                                       root + "/files/victim/../victim/inner/../..",
                                       root + "/files/victim/..",
                                       root + "/files/./victim",
                                       root + "/files/victim/.",
                                       root + "/jobs/link/.",
                                       root + "/jobs/link/./precious",
                                       root + "/files//victim",
                                       "/" + root + "/files/victim",
                                       root + "/files/victim//",
                                       root + std::string("/files/victim\0/inner", 20),
                                       "relative\n/" + root};

    const std::string good = root + "/jobs/job.plist";
    auto requestsNaming = [&](const std::string& path) {
        const Value p(path);
        return std::vector<Dictionary>{
            {{"kind", Value(0)}, {"path", p}, {"plistString", Value("x")}, {"label", Value("l")}},
            {{"kind", Value(0)},
             {"path", Value(good)},
             {"plistString", Value("x")},
             {"label", Value("l")},
             {"deletePath", p}},
            {{"kind", Value(1)},
             {"path", Value(good)},
             {"plistString", Value("x")},
             {"label", Value("l")},
             {"deletePath", p}},
            {{"kind", Value(2)}, {"deletePath", p}, {"label", Value("l")}},
            {{"kind", Value(4)}, {"path", p}, {"label", Value("l")}},
            {{"kind", Value(4)}, {"path", p}},
            {{"kind", Value(5)}, {"path", p}},
            {{"kind", Value(6)},
             {"plistString", Value("x")},
             {"testPath", p},
             {"testOutputPath", Value(good)},
             {"label", Value("l")}},
            {{"kind", Value(6)},
             {"plistString", Value("x")},
             {"testPath", Value(root + "/jobs/test.plist")},
             {"testOutputPath", p},
             {"label", Value("l")}},
            {{"kind", Value(7)}, {"deletePath", p}},
        };
    };
    const Dictionary invalid = posixErrorReply(EINVAL, std::strerror(EINVAL));
    for (const std::string& path : bad) {
        for (const Dictionary& request : requestsNaming(path)) {
            service.events.list.clear();
            service.replies.clear();
            service.run(request);
            const std::string which =
                "kind " + std::to_string(*request.at("kind").integer()) + " with \"" + path + "\"";
            EXPECT_EQ(service.replies, std::vector<Dictionary>{invalid}) << which;
            ASSERT_EQ(service.log.lines().size(), 1u) << which;
            EXPECT_EQ(service.log.lines()[0].rfind("Refused a path", 0), 0u) << service.log.lines()[0];
            EXPECT_EQ(service.events.snapshot().front(), "reply") << "the log line follows the reply";
            EXPECT_EQ(treeOf(root), before) << which;
            EXPECT_EQ(service.launchctl.callCount(), 0u) << which;
        }
    }

    // What the main application sends still works: absolute paths built from a folder and a name,
    // names that only begin or end with dots, and a trailing separator naming a link itself.
    for (const std::string& path :
         {good, root + "/jobs/.hidden", root + "/jobs/..plist", root + "/jobs/job.", root + "/x y.plist"}) {
        service.run({{"kind", Value(5)}, {"path", Value(path)}});
        EXPECT_EQ(service.launchctl.calls().back(), (std::vector<std::string>{"load", "-w", path}));
    }
    service.replies.clear();
    service.run({{"kind", Value(7)}, {"deletePath", Value(root + "/jobs/link/")}});
    service.run({{"kind", Value(7)}, {"deletePath", Value(root + "/files/victim")}});
    EXPECT_EQ(service.replies, (std::vector<Dictionary>{success, success}));
    auto after = before;
    after.erase("jobs/link");
    after.erase("files/victim");
    after.erase("files/victim/inner");
    after.erase("files/victim/inner/file");
    EXPECT_EQ(treeOf(root), after);
}

// A text a caller chose can neither break a log line nor carry escapes or invalid UTF-8 into it; and a
// request's log line waits for its reply.
TEST(RunActionLog, EveryLineIsOneLineWrittenAfterTheReply) {
    Service service;
    const std::string root = service.folder.path().string();
    const std::string forged = "gone\nQuorvel5XPCAction: Could not delete file: /etc\x1b[2K\r\t\x7F"
                               "\xC2\x85\xC2\x9B\xE2\x80\xA8\xFF\xC3 é\xC2\xA0ok";
    const std::string shown =
        "gone\uFFFDQuorvel5XPCAction: Could not delete file: /etc\uFFFD[2K\uFFFD\uFFFD\uFFFD"
        "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD é\u00A0ok";
    const Dictionary missing = posixErrorReply(ENOENT, std::strerror(ENOENT));

    service.run({{"kind", Value(7)}, {"deletePath", Value(root + "/" + forged)}});
    EXPECT_EQ(service.replies, std::vector<Dictionary>{missing});
    EXPECT_EQ(service.events.snapshot(),
              (std::vector<std::string>{"reply", "log Could not delete file: " + root + "/" + shown}));

    // The other lines a request writes: a refused path, a failed write, an ignored failed delete,
    // a refused label.
    service.events.list.clear();
    service.run({{"kind", Value(5)}, {"path", Value(forged)}});
    service.run({{"kind", Value(0)},
                 {"path", Value(root + "/" + forged + "/job.plist")},
                 {"plistString", Value("x")},
                 {"label", Value("l")}});
    service.run({{"kind", Value(0)},
                 {"path", Value(root + "/job.plist")},
                 {"plistString", Value("x")},
                 {"label", Value("-" + forged)},
                 {"deletePath", Value(root + "/" + forged)}});
    EXPECT_EQ(service.events.snapshot(),
              (std::vector<std::string>{
                  "reply",
                  "log Refused a path that is not absolute and normalized: " + shown,
                  "reply",
                  "log Could not write to file: " + root + "/" + shown + "/job.plist",
                  "reply",
                  "log Refused a launchctl argument that would be read as an option: -" + shown,
                  "log Could not delete file: " + root + "/" + shown,
              }));
    for (const std::string& line : service.log.lines()) {
        EXPECT_TRUE(isValidUtf8(line)) << line;
        for (char c : line) {
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << line;
        }
    }
}

// A caller's path cannot reorder its log line when shown: every direction control is replaced, and a
// character cut short is one replacement, as it is in the agent's texts.
TEST(RunActionLog, DirectionControlsAndACutCharacterEachBecomeOneReplacement) {
    Service service;
    const std::string root = service.folder.path().string();
    service.run(
        {{"kind", Value(7)}, {"deletePath", Value(root + "/\u202Egpj.exe\u2066x\u2069\xE2\x80.plist")}});
    EXPECT_EQ(service.log.lines(), std::vector<std::string>{"Could not delete file: " + root +
                                                            "/\uFFFDgpj.exe\uFFFDx\uFFFD\uFFFD.plist"});
}
