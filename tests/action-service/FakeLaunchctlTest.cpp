#include "FakeLaunchctl.hpp"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using test_support::FakeLaunchctl;

// The fake is shared with the D-Bus suite, so its record format is pinned here.
TEST(FakeLaunchctl, RecordsArgumentsStatusAndOutputPerSubcommand) {
    FakeLaunchctl fake("launch ctl 'x'");
    fake.setStatus("unload", 7);
    fake.setOutput("list", "- 0 a.b\n");
    std::string command = FakeLaunchctl::shellQuoted(fake.program()) + " unload -w " +
                          FakeLaunchctl::shellQuoted("a b\n'c\"") + " >/dev/null";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(std::system((FakeLaunchctl::shellQuoted(fake.program()) + " list >/dev/null").c_str()), 0);
    std::vector<std::vector<std::string>> expected{{"unload", "-w", "a b\n'c\""}, {"list"}};
    EXPECT_EQ(fake.calls(), expected);
    EXPECT_EQ(fake.finishedCount(), 2u);
    EXPECT_FALSE(fake.descriptors(0).empty());
}
