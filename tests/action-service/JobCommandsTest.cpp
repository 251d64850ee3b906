#include "ServiceFakes.hpp"

#include <cstring>
#include <gtest/gtest.h>

using namespace service_test;
using Command = Controller::Command;

TEST(JobCommands, PassTheArgumentAsOneElementOfTheVector) {
    Service service;
    const std::string path = "/tmp/a job/with 'quotes' \"and\"\nnewline; $(touch x) *.plist";
    EXPECT_FALSE(service.controller.runJobCommand(Command::load, path));
    EXPECT_FALSE(service.controller.runJobCommand(Command::unload, path));
    EXPECT_FALSE(service.controller.runJobCommand(Command::remove, "com.example job"));
    std::vector<std::vector<std::string>> expected{
        {"load", "-w", path}, {"unload", "-w", path}, {"remove", "com.example job"}};
    EXPECT_EQ(service.launchctl.calls(), expected);

    // An argument vector ends each element at a NUL byte: launchctl would get a shorter path.
    const std::string cut = std::string("/tmp/job.plist\0.bak", 19);
    EXPECT_EQ(service.controller.runJobCommand(Command::load, cut), errorReply(5));
    EXPECT_EQ(service.controller.runJobCommand(Command::remove, std::string("l\0x", 3)), errorReply(4));
    EXPECT_EQ(service.launchctl.callCount(), 3u) << "nothing started";
}

TEST(JobCommands, OnlyTheExitStatusDecides) {
    Service service;
    service.launchctl.setError("load", "launchctl: no plist was returned\n");
    service.launchctl.setOutput("load", "complaint on stdout\n");
    EXPECT_FALSE(service.controller.runJobCommand(Command::load, "/p")) << "complaints with status 0 succeed";

    for (int status : {1, 2, 113, 255}) {
        service.launchctl.setStatus("load", status);
        service.launchctl.setStatus("unload", status);
        service.launchctl.setStatus("remove", status);
        EXPECT_EQ(service.controller.runJobCommand(Command::load, "/p"), errorReply(5)) << status;
        EXPECT_EQ(service.controller.runJobCommand(Command::unload, "/p"), errorReply(6)) << status;
        EXPECT_EQ(service.controller.runJobCommand(Command::remove, "l"), errorReply(4)) << status;
    }
}

TEST(JobCommands, ALaunchctlThatCannotStartFailsWithTheCommandsCode) {
    Service service;
    for (const std::string& missing : {service.path("no-such-launchctl"), service.path("")}) {
        Controller controller(service.platform(), missing);
        EXPECT_EQ(controller.runJobCommand(Command::load, "/p"), errorReply(5));
        EXPECT_EQ(controller.runJobCommand(Command::unload, "/p"), errorReply(6));
        EXPECT_EQ(controller.runJobCommand(Command::remove, "l"), errorReply(4));
    }
    writeFile(service.path("not-executable"), "#!/bin/sh\nexit 0\n");
    Controller controller(service.platform(), service.path("not-executable"));
    EXPECT_EQ(controller.runJobCommand(Command::load, "/p"), errorReply(5));
}

// launchctl would read a label beginning with "-" as an option: such a command fails with its own
// code, starts nothing and logs one line; the request goes on as after any failure of that command.
TEST(JobCommands, AnArgumentThatLooksLikeAnOptionRunsNothing) {
    Service service;
    const std::string job = service.path("job.plist");
    for (const std::string label : {"-", "-w", "--help", "-remove"}) {
        EXPECT_EQ(service.controller.runJobCommand(Command::remove, label), errorReply(4)) << label;
        EXPECT_EQ(service.controller.runJobCommand(Command::load, label), errorReply(5)) << label;
        EXPECT_EQ(service.controller.runJobCommand(Command::unload, label), errorReply(6)) << label;
    }
    EXPECT_EQ(service.launchctl.callCount(), 0u);
    EXPECT_EQ(service.log.lines().size(), 12u);
    EXPECT_EQ(service.log.lines().front(), "Refused a launchctl argument that would be read as an option: -");

    service.events.list.clear();
    service.run({{"kind", Value(4)}, {"path", Value(job)}, {"label", Value("-x")}});
    EXPECT_EQ(service.replies.back(), errorReply(4));
    service.run(
        {{"kind", Value(0)}, {"path", Value(job)}, {"plistString", Value("saved")}, {"label", Value("-x")}});
    EXPECT_EQ(service.replies.back(), Dictionary{});
    EXPECT_EQ(readFile(job), "saved");
    service.run({{"kind", Value(2)}, {"deletePath", Value(job)}, {"label", Value("-x")}});
    EXPECT_EQ(service.replies.back(), Dictionary{});
    EXPECT_EQ(service.launchctl.calls(), (std::vector<std::vector<std::string>>{{"unload", "-w", job}}))
        << "only the unload of the existing file ran";
    EXPECT_EQ(service.log.lines().size(), 3u) << "one line per refused command";
}

TEST(ErrorReply, HasTheTwoShapes) {
    EXPECT_EQ(makeErrorReply(Action::ErrorCode::cantUnload), errorReply(6));
    Dictionary fromError = makeErrorReply(PlatformError{"SomeDomain", -43, "It went wrong", ""});
    EXPECT_EQ(fromError, (Dictionary{{"error", Value(Dictionary{{"domain", Value("SomeDomain")},
                                                                {"code", Value(std::int64_t{-43})},
                                                                {"description", Value("It went wrong")},
                                                                {"suggestion", Value("")}})}}));
    Dictionary withSuggestion = makeErrorReply(PlatformError{"D", 1, "d", "Try again."});
    EXPECT_EQ(*withSuggestion.at("error").dictionary()->at("suggestion").string(), "Try again.");
}
