#include "ServiceFakes.hpp"
#include "Utf8.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

using namespace service_test;
using TestCommand = Controller::TestCommand;

namespace {

const std::string listing = "PID\tStatus\tLabel\n"
                            "-\t0\tcom.example.job\n"
                            "-\t78\tcom.example.jobs\n"
                            "412\t0\tcomXexample.job\n"
                            "-\t3\ta;b|c&d $(x) `y` 'q' \"d\" * \\ -v --help\n"
                            "-\t9\tplain\n";

// What grep and awk print for the label when it reaches grep as one argument: the shell below takes
// the label as a positional parameter, which it never parses.
std::string expectedStatus(Service& service, const std::string& label) {
    const std::string listingFile = service.path("listing");
    writeFile(listingFile, listing);
    return decodeUtf8Lossy(
        service.processes
            .capture("/bin/sh",
                     {"/bin/sh", "-c", "/usr/bin/grep -e \"$1\" \"$2\" | /usr/bin/awk '{print $2}'", "sh",
                      label, listingFile},
                     1 << 20)
            .bytes);
}

} // namespace

TEST(StatusQuery, APlainLabelGivesTheExactCommandText) {
    Service service;
    Controller controller(service.platform(), "/bin/launchctl");
    EXPECT_EQ(controller.statusQuery("com.example.Job-1_x"),
              "/bin/launchctl list | /usr/bin/grep com.example.Job-1_x | /usr/bin/awk '{print $2}'");
    EXPECT_EQ(controller.statusQuery("-v"),
              "/bin/launchctl list | /usr/bin/grep -e '-v' | /usr/bin/awk '{print $2}'");
    EXPECT_EQ(controller.statusQuery("it's"),
              "/bin/launchctl list | /usr/bin/grep -e 'it'\\''s' | /usr/bin/awk '{print $2}'");
}

TEST(StatusQuery, MatchesLikeGrepAndAnyLabelIsOnePatternThatRunsNothingElse) {
    Service service("launch ctl's \"fake\"");
    service.launchctl.setOutput("list", listing);
    const std::string marker = service.path("marker");
    std::vector<std::string> labels{"com.example.job",
                                    "nothing.matches",
                                    "plain",
                                    "a;b",
                                    "a;b|c",
                                    "c&d",
                                    "$(x)",
                                    "`y`",
                                    "'q'",
                                    "\"d\"",
                                    "d $(x)",
                                    "*",
                                    "\\",
                                    "-v",
                                    "--help",
                                    "; touch " + marker,
                                    "| touch " + marker,
                                    "& touch " + marker,
                                    "$(touch " + marker + ")",
                                    "`touch " + marker + "`",
                                    "' ; touch " + marker + " ; '",
                                    "\" ; touch " + marker + " ; \"",
                                    "x'$(touch " + marker + ")'",
                                    std::string(10 * 1024, 'j') + ";touch " + marker};
    std::size_t calls = 0;
    for (const std::string& label : labels) {
        EXPECT_EQ(service.controller.runTestCommand(TestCommand::number, label).text,
                  expectedStatus(service, label))
            << label;
        EXPECT_EQ(service.launchctl.callCount(), ++calls) << label;
        EXPECT_FALSE(std::filesystem::exists(marker)) << label;
    }
    EXPECT_EQ(service.controller.runTestCommand(TestCommand::number, "com.example.job").text, "0\n78\n0\n")
        << "a label is a pattern: its dots match any character and it matches longer labels";
    for (const auto& call : service.launchctl.calls()) {
        EXPECT_EQ(call, std::vector<std::string>{"list"});
    }

    for (const std::string& label : {"plain\ntouch " + marker, std::string("plain\0; touch ", 14) + marker,
                                     std::string("\n"), std::string()}) {
        EXPECT_EQ(service.controller.runTestCommand(TestCommand::number, label).text, "");
    }
    EXPECT_EQ(service.launchctl.callCount(), calls + 1)
        << "an empty label, or one with a line feed or NUL, runs no query";
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(TestCommands, LoadAndErrorPassTheirArgumentAndCollectBothStreams) {
    Service service;
    service.launchctl.setOutput("load", "to stdout\n");
    service.launchctl.setError("load", "to stderr\n");
    EXPECT_EQ(service.controller.runTestCommand(TestCommand::load, "/a path/job.plist").text,
              "to stdout\nto stderr\n");
    EXPECT_EQ(service.controller.runTestCommand(TestCommand::error, "78\n").text, "");
    std::vector<std::vector<std::string>> expected{{"load", "-w", "/a path/job.plist"}, {"error", "78\n"}};
    EXPECT_EQ(service.launchctl.calls(), expected);
}

TEST(TestCommands, OutputIsDecodedWholeAndNeverInvalid) {
    Service service;
    // "é" straddles the first 1024-byte boundary; later bytes are not UTF-8.
    const std::string output =
        std::string(1023, 'a') + "\xC3\xA9" + std::string(3000, 'b') + "\xFF" + "c\xE2\x9C";
    service.launchctl.setOutput("error", output);
    std::string text = service.controller.runTestCommand(TestCommand::error, "1").text;
    EXPECT_EQ(text, std::string(1023, 'a') + "\xC3\xA9" + std::string(3000, 'b') + "\xEF\xBF\xBD" +
                        "c\xEF\xBF\xBD");
    EXPECT_TRUE(isValidUtf8(text));
}

// Whatever a command prints, its text stays bounded: 1 MiB cut between two characters, then a line
// that says how much was left out.
TEST(TestCommands, OutputPastOneMebibyteIsCountedNotKept) {
    Service service;
    constexpr std::size_t mebibyte = std::size_t{1} << 20;
    service.launchctl.setOutput("load",
                                std::string(mebibyte - 1, 'a') + "\xC3\xA9" + std::string(3 * mebibyte, 'b'));
    EXPECT_TRUE(service.controller.runTestCommand(TestCommand::load, "/j").text ==
                std::string(mebibyte - 1, 'a') + "\n(" + std::to_string(3 * mebibyte + 2) +
                    " bytes of the output left out)");
    service.launchctl.setOutput("load", std::string(mebibyte, 'a'));
    EXPECT_TRUE(service.controller.runTestCommand(TestCommand::load, "/j").text ==
                std::string(mebibyte, 'a'));
}

TEST(TestCommands, AProgramThatCannotStartExplainsItself) {
    Service service;
    const std::string missing = service.path("no-launchctl");
    Controller controller(service.platform(), missing);
    EXPECT_EQ(controller.runTestCommand(TestCommand::load, "/j").text,
              "Could not run " + missing + ": No such file or directory");
    EXPECT_NE(controller.runTestCommand(TestCommand::number, "label").text.find(missing), std::string::npos)
        << "the shell starts and names the program it could not find";
}

TEST(Utf8, ReplacesEachMaximalInvalidSubsequence) {
    struct Case {
        std::string in, out;
    };
    const std::string r = "\xEF\xBF\xBD";
    for (const Case& c : std::vector<Case>{{"", ""},
                                           {"plain", "plain"},
                                           {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
                                           {"\x80", r},
                                           {"\xC0\xAF", r + r},                 // overlong
                                           {"\xE0\x80\xAF", r + r + r},         // overlong three-byte
                                           {"\xED\xA0\x80", r + r + r},         // surrogate
                                           {"\xF4\x90\x80\x80", r + r + r + r}, // above U+10FFFF
                                           {"\xE2\x9C", r},                     // cut at the end
                                           {"\xF0\x9F\x98x", r + "x"},
                                           {"a\xFF\xFE"
                                            "b",
                                            "a" + r + r + "b"}}) {
        EXPECT_EQ(decodeUtf8Lossy(c.in), c.out) << c.in;
        EXPECT_EQ(isValidUtf8(c.in), c.in == c.out) << c.in;
    }
}
