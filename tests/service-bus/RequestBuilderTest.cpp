// The rules by which a platform dictionary becomes the request runAction reads.
#include "RequestBuilder.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <limits>

namespace action_service {
namespace {

TEST(RequestBuilder, KeepsTheKnownKeysInTheTypesTheyAreReadAs) {
    for (const char* key : {"kind", "privileged", "authData", "path", "deletePath", "testPath",
                            "testOutputPath", "plistString", "label"}) {
        EXPECT_TRUE(RequestBuilder::reads(key)) << key;
    }
    for (const char* key : {"Kind", "kind ", "", "url", "logQuery", "test", "error"}) {
        EXPECT_FALSE(RequestBuilder::reads(key)) << key;
    }

    const std::uint8_t bytes[] = {1, 2, 3};
    RequestBuilder request;
    request.signedInteger("kind", -4);
    request.boolean("privileged", true);
    request.data("authData", bytes);
    request.text("path", std::string_view("/a\0b", 4));
    request.text("label", "");
    request.unsignedInteger("testPath", 1); // not a text
    request.text("unknown", "x");
    request.signedInteger("unknown", 1);
    EXPECT_EQ(request.take(), (Dictionary{{"kind", -4},
                                          {"privileged", true},
                                          {"authData", Value::Data{1, 2, 3}},
                                          {"path", std::string("/a\0b", 4)},
                                          {"label", ""}}));

    // A Boolean is no integer and an integer no Boolean; neither a real nor an unsigned number above the
    // int64 range is an integer; a text is no data and data no text.
    RequestBuilder mismatched;
    mismatched.boolean("kind", true);
    mismatched.real("kind", 7.0);
    mismatched.unsignedInteger("kind", std::uint64_t{1} << 63);
    mismatched.signedInteger("privileged", 1);
    mismatched.text("authData", "abc");
    mismatched.data("plistString", bytes);
    EXPECT_EQ(mismatched.take(), Dictionary{});

    RequestBuilder edges;
    edges.unsignedInteger("kind", static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
    EXPECT_EQ(edges.take(), (Dictionary{{"kind", std::numeric_limits<std::int64_t>::max()}}));

    // Of several entries under one key, the last readable one counts.
    RequestBuilder repeated;
    repeated.signedInteger("kind", 1);
    repeated.signedInteger("kind", 2);
    repeated.text("kind", "3");
    repeated.text("path", "/first");
    repeated.text("path", "/second");
    EXPECT_EQ(repeated.take(), (Dictionary{{"kind", 2}, {"path", "/second"}}));
}

} // namespace
} // namespace action_service
