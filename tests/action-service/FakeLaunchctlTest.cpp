#include "FakeLaunchctl.hpp"

#include "WaitFor.hpp"

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

// Tests count and order calls by their numbers, and hold hundreds of calls at once: numbers must be
// unique under concurrency, held calls must wait for release() and no longer, and calls made after a
// release must not wait at all.
TEST(FakeLaunchctl, NumbersConcurrentCallsUniquelyAndHoldsUntilReleased) {
    FakeLaunchctl fake;
    std::string program = FakeLaunchctl::shellQuoted(fake.program());
    ASSERT_EQ(
        std::system(("for i in 1 2 3 4 5 6 7 8 9 10 11 12; do " + program + " list & done; wait").c_str()),
        0);
    EXPECT_EQ(fake.callCount(), 12u);
    EXPECT_EQ(fake.finishedCount(), 12u);

    fake.hold("load");
    ASSERT_EQ(std::system(("(" + program + " load a & " + program + " load b & " + program +
                           " load c &) >/dev/null 2>&1")
                              .c_str()),
              0);
    ASSERT_TRUE(test_support::waitFor([&] { return fake.startedCount() == 3; }));
    EXPECT_EQ(fake.finishedCount(), 12u) << "a held call went on before release";
    fake.release();
    ASSERT_TRUE(test_support::waitFor([&] { return fake.finishedCount() == 15; }));
    ASSERT_EQ(std::system((program + " load d").c_str()), 0);
    EXPECT_EQ(fake.finishedCount(), 16u);
    auto calls = fake.calls();
    ASSERT_EQ(calls.size(), 16u);
    EXPECT_EQ(calls.back(), (std::vector<std::string>{"load", "d"}));
}
