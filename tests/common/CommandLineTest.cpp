#include "CommandLine.hpp"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using common::answerCommandLine;
using common::ProgramDescription;

constexpr std::string_view usage = "Usage: Tool [--help | --version]\n"
                                   "\n"
                                   "Does its one thing.\n"
                                   "\n"
                                   "  -h, --help     print this text and exit\n"
                                   "      --version  print the version and exit\n";

struct Answer {
    std::optional<int> status;
    std::string out;
    std::string err;
};

// A C stream whose text is read back once it is closed.
class MemoryStream {
public:
    MemoryStream()
        : stream_(open_memstream(&buffer_, &size_)) {}
    ~MemoryStream() {
        close();
        std::free(buffer_);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    std::FILE* stream() const { return stream_; }
    std::string text() {
        close();
        return std::string(buffer_ != nullptr ? buffer_ : "", size_);
    }

private:
    void close() {
        if (stream_ != nullptr) {
            std::fclose(stream_);
            stream_ = nullptr;
        }
    }
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* stream_;
};

Answer answer(std::vector<const char*> argv, bool takesProcessSerialNumber = false) {
    const ProgramDescription program{"Tool", "5.0", "Does its one thing.\n", takesProcessSerialNumber};
    MemoryStream out;
    MemoryStream err;
    Answer result;
    result.status =
        answerCommandLine(static_cast<int>(argv.size()), argv.data(), program, out.stream(), err.stream());
    result.out = out.text();
    result.err = err.text();
    return result;
}

TEST(CommandLine, HelpAndVersionGoToStandardOutputWithStatusZero) {
    for (const char* help : {"--help", "-h"}) {
        const Answer given = answer({"Tool", help});
        EXPECT_EQ(given.status, 0) << help;
        EXPECT_EQ(given.out, usage) << help;
        EXPECT_EQ(given.err, "") << help;
    }
    const Answer version = answer({"Tool", "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Tool 5.0\n");
    EXPECT_EQ(version.err, "");

    // The first request decides, as in the programs people know.
    EXPECT_EQ(answer({"Tool", "--version", "--help"}).out, "Tool 5.0\n");
    EXPECT_EQ(answer({"Tool", "--help", "--bogus"}).status, 0);
}

TEST(CommandLine, NoArgumentsRunTheProgramSilently) {
    for (const auto& argv : {std::vector<const char*>{"Tool"}, std::vector<const char*>{},
                             std::vector<const char*>{"Tool", "--"}}) {
        const Answer given = answer(argv);
        EXPECT_EQ(given.status, std::nullopt);
        EXPECT_EQ(given.out, "");
        EXPECT_EQ(given.err, "");
    }
}

TEST(CommandLine, WhatTheProgramDoesNotTakeGivesTheUsageOnStandardErrorWithStatusTwo) {
    const Answer option = answer({"Tool", "--bogus"});
    EXPECT_EQ(option.status, 2);
    EXPECT_EQ(option.out, "");
    EXPECT_EQ(option.err, "Tool: unknown option '--bogus'\n" + std::string(usage));

    const Answer operand = answer({"Tool", "job.plist"});
    EXPECT_EQ(operand.status, 2);
    EXPECT_EQ(operand.err, "Tool: unexpected argument 'job.plist'\n" + std::string(usage));

    // Misuse before a request is still misuse; after "--" nothing is an option, and a lone "-" never is.
    EXPECT_EQ(answer({"Tool", "--bogus", "--help"}).status, 2);
    EXPECT_EQ(answer({"Tool", "--", "--help"}).err,
              "Tool: unexpected argument '--help'\n" + std::string(usage));
    EXPECT_EQ(answer({"Tool", "-"}).err, "Tool: unexpected argument '-'\n" + std::string(usage));
    // Near misses are not taken for the real thing.
    for (const char* near : {"--helpme", "-help", "--versions", "-v", "--Help"}) {
        EXPECT_EQ(answer({"Tool", near}).status, 2) << near;
    }
}

TEST(CommandLine, OnlyAnApplicationTakesTheLaunchersProcessSerialNumber) {
    const Answer application = answer({"Tool", "-psn_0_12345"}, true);
    EXPECT_EQ(application.status, std::nullopt);
    EXPECT_EQ(application.err, "");
    EXPECT_EQ(answer({"Tool", "-psn_0_12345", "--version"}, true).out, "Tool 5.0\n");
    EXPECT_EQ(answer({"Tool", "-psn_0_12345"}, false).status, 2);
}

TEST(CommandLine, AnAnswerThatCannotBeWrittenFails) {
    const ProgramDescription program{"Tool", "5.0", "Does its one thing.\n", false};
    const char* argv[] = {"Tool", "--help"};
    // Every write to a stream opened for reading fails, as on a full disk or a closed pipe.
    std::FILE* nowhere = std::fopen("/dev/null", "r");
    ASSERT_NE(nowhere, nullptr);
    MemoryStream err;
    EXPECT_EQ(answerCommandLine(2, argv, program, nowhere, err.stream()), 1);
    const char* version[] = {"Tool", "--version"};
    EXPECT_EQ(answerCommandLine(2, version, program, nowhere, err.stream()), 1);
    std::fclose(nowhere);
}

} // namespace
