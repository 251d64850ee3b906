#include "Action.hpp"

#include "Value.hpp"

#include <gtest/gtest.h>

using namespace action_service;

TEST(Action, KindAcceptsExactlyZeroToNine) {
    for (std::int64_t raw = 0; raw <= 9; ++raw) {
        ASSERT_TRUE(Action::kindFromRaw(raw)) << raw;
        EXPECT_EQ(static_cast<std::int64_t>(*Action::kindFromRaw(raw)), raw);
    }
    for (std::int64_t raw : {std::int64_t{-1}, std::int64_t{10}, INT64_MIN, INT64_MAX}) {
        EXPECT_FALSE(Action::kindFromRaw(raw)) << raw;
    }
}

TEST(Value, ReadingWithTheWrongTypeCountsAsAbsent) {
    Dictionary request{
        {"kind", Value("1")},     {"privileged", Value("true")}, {"label", Value(std::int64_t{4})},
        {"authData", Value("x")}, {"flag", Value(true)},         {"n", Value(7)}};
    EXPECT_FALSE(readInteger(request, "kind"));
    EXPECT_FALSE(readBoolean(request, "privileged"));
    EXPECT_EQ(readString(request, "label"), nullptr);
    EXPECT_EQ(readData(request, "authData"), nullptr);
    EXPECT_FALSE(readInteger(request, "flag")); // a Boolean is no integer
    EXPECT_FALSE(readBoolean(request, "n"));    // and an integer no Boolean
    EXPECT_EQ(readBoolean(request, "flag"), true);
    EXPECT_EQ(readInteger(request, "n"), 7);
    EXPECT_EQ(readString(request, "missing"), nullptr);
}
