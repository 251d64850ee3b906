#include "JournalStream.hpp"

#include <gtest/gtest.h>

namespace {

using action_service::FileIdentity;
using action_service::standardErrorIsJournal;

TEST(JournalStream, OnlyTheVerySameStreamIsTheJournal) {
    const FileIdentity journal{8, 1234567};
    EXPECT_TRUE(standardErrorIsJournal("8:1234567", journal));
    EXPECT_TRUE(standardErrorIsJournal("18446744073709551615:1", FileIdentity{18446744073709551615u, 1}));

    // Not set, no standard error, or another stream (a child whose standard error was redirected).
    EXPECT_FALSE(standardErrorIsJournal(std::nullopt, journal));
    EXPECT_FALSE(standardErrorIsJournal("8:1234567", std::nullopt));
    EXPECT_FALSE(standardErrorIsJournal("8:1234568", journal));
    EXPECT_FALSE(standardErrorIsJournal("9:1234567", journal));
    EXPECT_FALSE(standardErrorIsJournal("1234567:8", journal));

    // What is not two whole decimal numbers names nothing.
    for (const char* malformed :
         {"", ":", "8", "8:", ":1234567", "8:1234567:", "8:1234567x", " 8:1234567", "+8:1234567",
          "-8:1234567", "0x8:1234567", "8;1234567", "18446744073709551624:1234567"}) {
        EXPECT_FALSE(standardErrorIsJournal(malformed, journal)) << malformed;
    }
}

} // namespace
