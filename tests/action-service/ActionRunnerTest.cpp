#include "ServiceFakes.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

using namespace service_test;
namespace fs = std::filesystem;
using Calls = std::vector<std::vector<std::string>>;

namespace {
Value data(std::size_t size) {
    return Value(Value::Data(size, 0xAB));
}
const Dictionary success;
Dictionary testReply(const std::string& text) {
    return Dictionary{{"test", Value(text)}};
}
} // namespace

TEST(RunActionPrologue, KindMissingOrNotAnIntegerIsUnknownKind) {
    Service service;
    for (const Dictionary& request : {Dictionary{}, Dictionary{{"kind", Value("1")}},
                                      Dictionary{{"kind", Value(true)}}, Dictionary{{"kind", Value(1.0)}}}) {
        service.replies.clear();
        service.run(request);
        EXPECT_EQ(service.replies, std::vector<Dictionary>{errorReply(3)});
    }
    EXPECT_EQ(service.launchctl.callCount(), 0u);
    EXPECT_EQ(service.events.snapshot(), std::vector<std::string>(4, "reply")) << "no exit";
}

TEST(RunActionPrologue, KindsOutsideZeroToEightDoNothing) {
    Service service;
    for (std::int64_t kind : {9, 10, -1, 1000}) {
        service.run({{"kind", Value(kind)},
                     {"path", Value(service.path("p"))},
                     {"deletePath", Value(service.path("p"))}});
    }
    EXPECT_TRUE(service.events.snapshot().empty());
    EXPECT_EQ(service.launchctl.callCount(), 0u);
    EXPECT_TRUE(fs::is_empty(service.folder.path()));
}

TEST(RunActionPrologue, QuitEndsTheProcessBeforeAnyCheck) {
    Service service;
    service.run({{"kind", Value(3)}, {"privileged", Value(true)}});
    EXPECT_EQ(service.events.snapshot(), std::vector<std::string>{"exit"});
    EXPECT_TRUE(service.authority.calls.empty());
}

TEST(RunActionPrologue, RefusedPrivilegedRequestLogsRepliesThenExits) {
    for (std::int64_t kind : {7, 9, 42}) {
        Service service;
        writeFile(service.path("victim"), "x");
        service.authority.copyStatus = -60005;
        service.run({{"kind", Value(kind)},
                     {"privileged", Value(true)},
                     {"authData", data(32)},
                     {"deletePath", Value(service.path("victim"))}});
        EXPECT_EQ(service.events.snapshot(),
                  (std::vector<std::string>{"log Not a valid helper tool", "reply", "exit"}));
        EXPECT_EQ(service.replies, std::vector<Dictionary>{errorReply(1)});
        EXPECT_TRUE(fs::exists(service.path("victim"))) << "nothing of the request is carried out";
    }
}

TEST(RunActionPrologue, OnlyABooleanTrueAsksForTheCheck) {
    Service service;
    writeFile(service.path("a"), "x");
    writeFile(service.path("b"), "x");
    service.run(
        {{"kind", Value(7)}, {"privileged", Value("true")}, {"deletePath", Value(service.path("a"))}});
    service.run({{"kind", Value(7)},
                 {"privileged", Value(false)},
                 {"authData", data(3)},
                 {"deletePath", Value(service.path("b"))}});
    EXPECT_TRUE(service.authority.calls.empty());
    EXPECT_EQ(service.replies, (std::vector<Dictionary>{success, success}));
    EXPECT_TRUE(fs::is_empty(service.folder.path()));

    service.run({{"kind", Value(9)}, {"privileged", Value(true)}, {"authData", data(32)}});
    EXPECT_EQ(service.authority.calls, (std::vector<std::string>{"create", "copy", "free"}));
    EXPECT_EQ(service.replies.size(), 2u) << "granted kind 9: still no reply";
    EXPECT_EQ(service.events.snapshot(), (std::vector<std::string>{"reply", "reply"}));
}

TEST(Authorization, AuthDataMustBe32BytesOfData) {
    Service service;
    for (const Dictionary& request :
         {Dictionary{}, Dictionary{{"authData", Value("0123456789abcdef0123456789abcdef")}},
          Dictionary{{"authData", data(31)}}, Dictionary{{"authData", data(33)}},
          Dictionary{{"authData", data(0)}}}) {
        EXPECT_FALSE(service.controller.checkAuthorization(request));
    }
    EXPECT_TRUE(service.authority.calls.empty());
}

TEST(Authorization, AsksForTheRightAndFreesExactlyWhatWasObtained) {
    Value::Data form(32);
    for (std::size_t i = 0; i < form.size(); ++i) {
        form[i] = static_cast<std::uint8_t>(i * 7);
    }
    const Dictionary request{{"authData", Value(form)}};
    {
        Service service;
        EXPECT_TRUE(service.controller.checkAuthorization(request));
        EXPECT_EQ(service.authority.calls, (std::vector<std::string>{"create", "copy", "free"}));
        EXPECT_TRUE(std::equal(form.begin(), form.end(), service.authority.seenForm.begin()));
        EXPECT_EQ(service.authority.seenRight, mainBundleIdentifier());
        EXPECT_EQ(service.authority.seenFlags, 3u);
    }
    {
        Service service;
        service.authority.copyStatus = -60006;
        EXPECT_FALSE(service.controller.checkAuthorization(request));
        EXPECT_EQ(service.authority.calls, (std::vector<std::string>{"create", "copy", "free"}));
    }
    {
        Service service;
        service.authority.createStatus = -60001;
        EXPECT_FALSE(service.controller.checkAuthorization(request));
        EXPECT_EQ(service.authority.calls, (std::vector<std::string>{"create", "free"})) << "no rights asked";
    }
    {
        Service service;
        service.authority.createStatus = -60001;
        service.authority.giveReference = false;
        EXPECT_FALSE(service.controller.checkAuthorization(request));
        EXPECT_EQ(service.authority.calls, std::vector<std::string>{"create"}) << "nothing to free";
    }
    {
        Service service;
        service.authority.giveReference = false;
        EXPECT_FALSE(service.controller.checkAuthorization(request))
            << "success without a reference grants nothing";
        EXPECT_EQ(service.authority.calls, std::vector<std::string>{"create"});
    }
}

TEST(SaveJob, RequiredEntriesComeFirst) {
    Service service;
    const std::string path = service.path("job.plist");
    writeFile(path, "old");
    for (std::int64_t kind : {0, 1}) {
        service.run({{"kind", Value(kind)}, {"path", Value(path)}, {"plistString", Value("new")}});
        service.run({{"kind", Value(kind)}, {"path", Value(path)}, {"label", Value("l")}});
        service.run({{"kind", Value(kind)}, {"plistString", Value("new")}, {"label", Value("l")}});
    }
    EXPECT_EQ(service.launchctl.callCount(), 0u);
    EXPECT_TRUE(service.replies.empty());
    EXPECT_EQ(readFile(path), "old");
}

TEST(SaveJob, UnloadsWhatExistsIgnoresFailuresWritesAndDeletes) {
    Service service;
    const std::string path = service.path("job.plist");
    const std::string old = service.path("old.plist");
    writeFile(old, "x");
    service.launchctl.setStatus("remove", 3);
    service.run({{"kind", Value(0)},
                 {"path", Value(path)},
                 {"plistString", Value("<plist/>")},
                 {"label", Value("com.x")},
                 {"deletePath", Value(old)}});
    EXPECT_EQ(service.replies, std::vector<Dictionary>{success});
    EXPECT_EQ(service.launchctl.calls(), (Calls{{"remove", "com.x"}}));
    EXPECT_EQ(readFile(path), "<plist/>");
    EXPECT_FALSE(fs::exists(old));

    service.launchctl.setStatus("unload", 1);
    service.run({{"kind", Value(0)},
                 {"path", Value(path)},
                 {"plistString", Value("two")},
                 {"label", Value("com.x")},
                 {"deletePath", Value(service.path("never-there"))}});
    EXPECT_EQ(service.replies.back(), success) << "a failing deletePath is ignored";
    EXPECT_EQ(service.launchctl.calls(),
              (Calls{{"remove", "com.x"}, {"unload", "-w", path}, {"remove", "com.x"}}));
    EXPECT_EQ(readFile(path), "two");
}

TEST(SaveAndLoadJob, LoadsAfterWritingAndStopsAtAFailure) {
    Service service;
    const std::string path = service.path("job.plist");
    const std::string old = service.path("old.plist");
    writeFile(old, "x");
    service.run(
        {{"kind", Value(1)}, {"path", Value(path)}, {"plistString", Value("a")}, {"label", Value("l")}});
    EXPECT_EQ(service.replies, std::vector<Dictionary>{success});
    EXPECT_EQ(service.launchctl.calls(), (Calls{{"remove", "l"}, {"load", "-w", path}}));

    service.launchctl.setStatus("load", 1);
    service.run({{"kind", Value(1)},
                 {"path", Value(path)},
                 {"plistString", Value("b")},
                 {"label", Value("l")},
                 {"deletePath", Value(old)}});
    EXPECT_EQ(service.replies.back(), errorReply(5));
    EXPECT_EQ(readFile(path), "b") << "the new file stays written";
    EXPECT_TRUE(fs::exists(old)) << "deletePath is kept";

    const std::string nowhere = service.path("missing-folder") + "/job.plist";
    service.run(
        {{"kind", Value(1)}, {"path", Value(nowhere)}, {"plistString", Value("c")}, {"label", Value("l")}});
    EXPECT_EQ(service.replies.back(), posixErrorReply(ENOENT, std::strerror(ENOENT)));
    EXPECT_EQ(service.launchctl.calls().back(), (std::vector<std::string>{"remove", "l"})) << "no load after";
}

TEST(DeleteJob, RemovesThenDeletesAndReportsTheDeletesError) {
    Service service;
    const std::string path = service.path("job.plist");
    service.run({{"kind", Value(2)}, {"label", Value("l")}});
    EXPECT_TRUE(service.replies.empty());
    service.run({{"kind", Value(2)}, {"deletePath", Value(path)}, {"label", Value("l")}});
    EXPECT_EQ(service.launchctl.calls(), (Calls{{"remove", "l"}}));
    EXPECT_EQ(service.replies, std::vector<Dictionary>{posixErrorReply(ENOENT, std::strerror(ENOENT))});
    EXPECT_EQ(service.log.lines(), std::vector<std::string>{"Could not delete file: " + path});

    writeFile(path, "x");
    service.launchctl.setStatus("unload", 1);
    service.launchctl.setStatus("remove", 1);
    service.run({{"kind", Value(2)}, {"deletePath", Value(path)}, {"label", Value("l")}});
    EXPECT_EQ(service.replies.back(), success);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(service.launchctl.calls(), (Calls{{"remove", "l"}, {"unload", "-w", path}, {"remove", "l"}}));
}

TEST(UnloadJob, AnswersCantRemoveForAnyFailure) {
    Service service;
    const std::string path = service.path("job.plist");
    service.run({{"kind", Value(4)}, {"label", Value("l")}});
    EXPECT_TRUE(service.replies.empty());

    service.run({{"kind", Value(4)}, {"path", Value(path)}});
    EXPECT_EQ(service.replies.back(), success);
    EXPECT_EQ(service.launchctl.callCount(), 0u) << "no label and no file: nothing to run";

    service.run({{"kind", Value(4)}, {"path", Value(path)}, {"label", Value("l")}});
    EXPECT_EQ(service.replies.back(), success);
    EXPECT_EQ(service.launchctl.calls(), (Calls{{"remove", "l"}}));

    writeFile(path, "x");
    service.launchctl.setStatus("unload", 1);
    service.run({{"kind", Value(4)}, {"path", Value(path)}, {"label", Value("l")}});
    EXPECT_EQ(service.replies.back(), errorReply(4)) << "unload failed, remove succeeded";
    EXPECT_EQ(service.launchctl.calls().back(), (std::vector<std::string>{"remove", "l"}))
        << "the remove comes after the unload";
    EXPECT_EQ(service.launchctl.calls().at(1), (std::vector<std::string>{"unload", "-w", path}));
    service.run({{"kind", Value(4)}, {"path", Value(path)}});
    EXPECT_EQ(service.replies.back(), errorReply(4));
    service.launchctl.setStatus("unload", 0);
    service.launchctl.setStatus("remove", 2);
    service.run({{"kind", Value(4)}, {"path", Value(path)}, {"label", Value("l")}});
    EXPECT_EQ(service.replies.back(), errorReply(4));
    EXPECT_TRUE(fs::exists(path)) << "unloading never deletes the file";
}

TEST(LoadJob, ForwardsTheLoadResult) {
    Service service;
    service.run({{"kind", Value(5)}, {"label", Value("l")}});
    EXPECT_TRUE(service.replies.empty());
    service.run({{"kind", Value(5)}, {"path", Value("/x y.plist")}});
    service.launchctl.setStatus("load", 9);
    service.run({{"kind", Value(5)}, {"path", Value("/x y.plist")}});
    EXPECT_EQ(service.replies, (std::vector<Dictionary>{success, errorReply(5)}));
    EXPECT_EQ(service.launchctl.calls(), (Calls{{"load", "-w", "/x y.plist"}, {"load", "-w", "/x y.plist"}}));
}

class TestJob : public ::testing::Test {
protected:
    Service service;
    const std::string testPath = service.path("test.plist");
    const std::string outputPath = service.path("test.out");
    Dictionary request() const {
        return {{"kind", Value(6)},
                {"plistString", Value("<plist>é</plist>")},
                {"testPath", Value(testPath)},
                {"testOutputPath", Value(outputPath)},
                {"label", Value("com.x.test")}};
    }
    std::vector<std::string> subcommands() const {
        std::vector<std::string> result;
        for (const auto& call : service.launchctl.calls()) {
            result.push_back(call.at(0));
        }
        return result;
    }
};

TEST_F(TestJob, RequiredEntriesAndAFailedWrite) {
    for (const char* missing : {"plistString", "testPath", "testOutputPath", "label"}) {
        Dictionary partial = request();
        partial.erase(missing);
        service.run(partial);
    }
    EXPECT_TRUE(service.replies.empty());
    Dictionary nowhere = request();
    nowhere["testPath"] = Value(service.path("missing") + "/t.plist");
    writeFile(outputPath, "kept");
    service.run(nowhere);
    EXPECT_EQ(service.replies, std::vector<Dictionary>{posixErrorReply(ENOENT, std::strerror(ENOENT))});
    EXPECT_EQ(service.launchctl.callCount(), 0u);
    EXPECT_TRUE(fs::exists(outputPath)) << "no file is deleted";
}

TEST_F(TestJob, WhatTheLoadPrintsIsTheWholeAnswer) {
    service.launchctl.setError("load", "Load failed: 5: Input/output error\n");
    writeFile(outputPath, "never read");
    service.run(request());
    EXPECT_EQ(service.replies, std::vector<Dictionary>{testReply("Load failed: 5: Input/output error\n")});
    EXPECT_EQ(subcommands(), std::vector<std::string>{"load"});
    EXPECT_EQ(service.launchctl.calls()[0], (std::vector<std::string>{"load", "-w", testPath}));
    EXPECT_FALSE(fs::exists(testPath));
    EXPECT_FALSE(fs::exists(outputPath));
}

TEST_F(TestJob, NoMatchingJobGivesTheOutputFile) {
    service.launchctl.setOutput("list", "-\t0\tcom.other\n");
    writeFile(outputPath, "hello from the job\n");
    service.run(request());
    EXPECT_EQ(service.replies, std::vector<Dictionary>{testReply("hello from the job\n")});
    EXPECT_EQ(subcommands(), (std::vector<std::string>{"load", "list"}));
}

TEST_F(TestJob, StatusZeroAndAnEmptyOutputFileGiveAnEmptyText) {
    service.launchctl.setOutput("list", "-\t0\tcom.x.test\n");
    writeFile(outputPath, "");
    service.run(request());
    EXPECT_EQ(service.replies, std::vector<Dictionary>{testReply("")});
    EXPECT_EQ(subcommands(), (std::vector<std::string>{"load", "list"}));
}

TEST_F(TestJob, AFailedStatusIsExplainedAndJoinedToTheOutput) {
    service.launchctl.setOutput("list", "-\t78\tcom.x.test\n");
    service.launchctl.setOutput("error", "78: Function not implemented");
    service.run(request());
    EXPECT_EQ(service.replies.back(), testReply("78: Function not implemented"))
        << "unreadable file: no line feed";
    EXPECT_EQ(service.launchctl.calls().back(), (std::vector<std::string>{"error", "78\n"}));

    writeFile(outputPath, "job output");
    service.run(request());
    EXPECT_EQ(service.replies.back(), testReply("78: Function not implemented\njob output"));

    writeFile(outputPath, "bad \xFF bytes");
    service.run(request());
    EXPECT_EQ(service.replies.back(), testReply("78: Function not implemented"))
        << "not UTF-8 reads as unreadable";
    EXPECT_FALSE(fs::exists(outputPath));
    EXPECT_FALSE(fs::exists(testPath));
}

// Only one status number is explained; what else the query printed is the test text as it is.
TEST_F(TestJob, OnlyAStatusNumberIsAskedToBeExplained) {
    service.launchctl.setOutput("list", "PID\tStatus\tLabel\n-\t0\tcom.a\n-\t0\tcom.ab\n-\t-9\tneg\n");
    service.launchctl.setOutput("error", "explained");
    writeFile(outputPath, "job output");
    Dictionary request = this->request();
    request["label"] = Value("a\\");
    service.run(request);
    ASSERT_EQ(service.replies.size(), 1u);
    const std::string text = *service.replies.back().at("test").string();
    EXPECT_NE(text.find("Trailing backslash"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 11), "\njob output");

    writeFile(outputPath, "");
    request["label"] = Value("com.a");
    service.run(request);
    EXPECT_EQ(service.replies.back(), testReply("0\n0\n\n")) << "two statuses are no number";

    request["label"] = Value("neg");
    service.run(request);
    EXPECT_EQ(service.replies.back(), testReply("explained")) << "no output file left";
    EXPECT_EQ(subcommands(),
              (std::vector<std::string>{"load", "list", "load", "list", "load", "list", "error"}));
    EXPECT_EQ(service.launchctl.calls().back(), (std::vector<std::string>{"error", "-9\n"}));
}

// A test's output file of any size gives a bounded reply: at most 1 MiB of it, cut between two
// characters, and a last line saying how many bytes were left out.
TEST_F(TestJob, ALargeOutputFileIsCutAfterOneMebibyte) {
    constexpr std::size_t mebibyte = std::size_t{1} << 20;
    constexpr std::size_t size = 70 * mebibyte;
    // "é" straddles the limit; the rest of the file is a hole that costs no disk.
    const std::string head = std::string(mebibyte - 1, 'x') + "\xC3\xA9";
    writeFile(outputPath, head);
    fs::resize_file(outputPath, size);
    service.run(request());
    ASSERT_EQ(service.replies.size(), 1u);
    EXPECT_TRUE(*service.replies[0].at("test").string() == std::string(mebibyte - 1, 'x') + "\n(" +
                                                               std::to_string(size - (mebibyte - 1)) +
                                                               " bytes of the output file left out)");
    EXPECT_FALSE(fs::exists(outputPath));
    EXPECT_FALSE(fs::exists(testPath));

    // Exactly the limit: the whole file and nothing said; one byte more: one byte left out.
    writeFile(outputPath, std::string(mebibyte, 'y'));
    service.run(request());
    EXPECT_TRUE(service.replies.back() == testReply(std::string(mebibyte, 'y')));
    writeFile(outputPath, std::string(mebibyte - 1, 'y') + "\n" + "z");
    service.run(request());
    EXPECT_TRUE(service.replies.back() ==
                testReply(std::string(mebibyte - 1, 'y') + "\n(1 byte of the output file left out)"));
}

TEST_F(TestJob, AStatusQueryThatCannotStartExplainsItself) {
    service.processes.unstartable = {"/bin/sh"};
    writeFile(outputPath, "job output");
    service.run(request());
    EXPECT_EQ(service.replies.back(),
              testReply("Could not run /bin/sh: No such file or directory\njob output"));
    EXPECT_EQ(subcommands(), std::vector<std::string>{"load"}) << "its text is no status for launchctl error";
}

TEST(RemoveFile, DeletesOrReportsThePlatformError) {
    Service service;
    const std::string path = service.path("f");
    writeFile(path, "x");
    service.run({{"kind", Value(7)}, {"path", Value(path)}});
    EXPECT_TRUE(service.replies.empty());
    service.run({{"kind", Value(7)}, {"deletePath", Value(path)}});
    service.run({{"kind", Value(7)}, {"deletePath", Value(path)}});
    EXPECT_EQ(service.replies,
              (std::vector<Dictionary>{success, posixErrorReply(ENOENT, std::strerror(ENOENT))}));
}

class HelperToolRemoval : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(service.path("LaunchDaemons"));
        fs::create_directory(service.path("PrivilegedHelperTools"));
    }
    Service service;
    const std::string jobFile = service.path("LaunchDaemons") + "/" + helperToolName() + ".plist";
    const std::string executable = service.path("PrivilegedHelperTools") + "/" + helperToolName();
    void run() { service.run({{"kind", Value(8)}, {"privileged", Value(false)}}); }
};

TEST_F(HelperToolRemoval, NameFollowsTheBundleIdentifier) {
    EXPECT_EQ(helperToolName(), mainBundleIdentifier() + "Helper");
}

TEST_F(HelperToolRemoval, NeitherFileRemovesTheJobAndExits) {
    service.launchctl.setStatus("remove", 1);
    run();
    EXPECT_EQ(service.launchctl.calls(), (Calls{{"remove", helperToolName()}}));
    EXPECT_EQ(service.events.snapshot(), std::vector<std::string>{"exit"});
}

TEST_F(HelperToolRemoval, BothFilesGoThenTheProcessEnds) {
    writeFile(jobFile, "x");
    run();
    EXPECT_FALSE(fs::exists(jobFile));
    writeFile(executable, "x");
    run();
    EXPECT_FALSE(fs::exists(executable));
    EXPECT_EQ(service.events.snapshot(), (std::vector<std::string>{"exit", "exit"}));
    EXPECT_TRUE(service.log.lines().empty());
}

TEST_F(HelperToolRemoval, AJobFileThatCannotBeRemovedIsReportedAndTheToolKept) {
    writeFile(jobFile, "x");
    writeFile(executable, "x");
    service.files.failingRemovals[jobFile] = EPERM;
    run();
    EXPECT_EQ(service.replies, std::vector<Dictionary>{posixErrorReply(EPERM, "Operation not permitted")});
    EXPECT_TRUE(fs::exists(executable));
    EXPECT_EQ(service.events.snapshot(), std::vector<std::string>{"reply"}) << "no exit, no log";
    EXPECT_EQ(service.launchctl.calls(), (Calls{{"remove", helperToolName()}})) << "launchd forgets it first";
}

TEST_F(HelperToolRemoval, AnExecutableThatCannotBeRemovedIsReportedAfterTheJobFileWent) {
    writeFile(jobFile, "x");
    writeFile(executable, "x");
    service.files.failingRemovals[executable] = EBUSY;
    run();
    EXPECT_EQ(service.replies, std::vector<Dictionary>{posixErrorReply(EBUSY, "Operation not permitted")});
    EXPECT_FALSE(fs::exists(jobFile));
    EXPECT_EQ(service.events.snapshot(), std::vector<std::string>{"reply"});
}

namespace {
class RecordingListener final : public Listener {
public:
    std::shared_ptr<ListenerEndpoint> given;
    std::shared_ptr<ListenerEndpoint> endpoint() override { return given; }
};
class RecordingConnection final : public Connection {
public:
    std::vector<std::string> calls;
    RemoteObjectType* exported = nullptr;
    void setExportedInterface(const Interface& interface) override {
        calls.push_back("interface " + std::string(interface.protocol));
    }
    void setExportedObject(RemoteObjectType& object) override {
        calls.push_back("object");
        exported = &object;
    }
    void resume() override { calls.push_back("resume"); }
};
} // namespace

TEST(Controller, AcceptsEveryConnectionAndHandsOutTheListenersEndpoint) {
    Service service;
    std::vector<std::shared_ptr<ListenerEndpoint>> answers;
    auto ask = [&] {
        service.controller.listenerEndpointWithReply([&](auto endpoint) { answers.push_back(endpoint); });
    };
    ask();
    RecordingListener listener;
    for (int i = 0; i < 3; ++i) {
        RecordingConnection connection;
        EXPECT_TRUE(service.controller.shouldAcceptNewConnection(listener, connection));
        EXPECT_EQ(connection.calls,
                  (std::vector<std::string>{"interface RemoteObjectType", "object", "resume"}));
        EXPECT_EQ(connection.exported, &service.controller);
    }
    ask();
    listener.given = std::make_shared<ListenerEndpoint>();
    ask();
    EXPECT_EQ(answers, (std::vector<std::shared_ptr<ListenerEndpoint>>{nullptr, nullptr, listener.given}));
}
