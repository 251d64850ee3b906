// The QuorvelAgent program's command line, as a person or a packager tries it.
#include "AgentHarness.hpp"
#include "ProgramRun.hpp"

#include <gtest/gtest.h>

namespace agent_e2e {
namespace {

TEST(AgentCommandLine, AnswersHelpVersionAndMisuseWithoutStarting) {
    AgentHome home;
    // The answers need no bus; and the agent must not start watching when asked for one.
    const auto environment = home.environment("unix:path=" + (home.root() / "no-bus-here").string());
    const auto help = test_support::runProgram({QUORVEL_AGENT_PROGRAM, "--help"}, environment);
    EXPECT_TRUE(help.exitedWith(0)) << help.err;
    EXPECT_EQ(help.out.rfind("Usage: QuorvelAgent [--help | --version]\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(test_support::runProgram({QUORVEL_AGENT_PROGRAM, "-h"}, environment).out, help.out);

    const auto version = test_support::runProgram({QUORVEL_AGENT_PROGRAM, "--version"}, environment);
    EXPECT_TRUE(version.exitedWith(0)) << version.err;
    EXPECT_EQ(version.out, "QuorvelAgent " QUORVEL_VERSION "\n");
    EXPECT_EQ(version.err, "");

    for (const char* wrong : {"--bogus", "extra"}) {
        const auto misuse = test_support::runProgram({QUORVEL_AGENT_PROGRAM, wrong}, environment);
        EXPECT_TRUE(misuse.exitedWith(2)) << wrong << ": " << misuse.err;
        EXPECT_EQ(misuse.out, "") << wrong;
        EXPECT_EQ(misuse.err.substr(misuse.err.find('\n') + 1), help.out) << wrong;
    }
    EXPECT_EQ(test_support::runProgram({QUORVEL_AGENT_PROGRAM, "--bogus"}, environment).err,
              "QuorvelAgent: unknown option '--bogus'\n" + help.out);
    EXPECT_EQ(home.sanitizerReports(), "");
}

} // namespace
} // namespace agent_e2e
