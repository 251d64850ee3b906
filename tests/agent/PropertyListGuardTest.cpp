#include "PropertyListGuard.hpp"

#include "AgentFakes.hpp"

#include <gtest/gtest.h>

using namespace agent_test;

namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string nestedXml(std::size_t depth) {
    std::string text = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">";
    for (std::size_t k = 0; k < depth; ++k) {
        text += "<array>";
    }
    for (std::size_t k = 0; k < depth; ++k) {
        text += "</array>";
    }
    return text + "</plist>";
}

void appendBigEndian(std::string& out, std::uint64_t value, std::size_t width) {
    for (std::size_t k = width; k-- > 0;) {
        out.push_back(static_cast<char>((value >> (8 * k)) & 0xFF));
    }
}

// A binary list whose objects are given as bytes, with references and offsets `width` bytes wide.
std::string binaryList(const std::vector<std::string>& objects, std::size_t width, std::uint64_t top = 0) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const std::uint64_t table = out.size();
    for (const auto offset : offsets) {
        appendBigEndian(out, offset, width);
    }
    out += std::string(6, '\0');
    out.push_back(static_cast<char>(width));
    out.push_back(static_cast<char>(width));
    appendBigEndian(out, objects.size(), 8);
    appendBigEndian(out, top, 8);
    appendBigEndian(out, table, 8);
    return out;
}

std::string arrayOf(const std::vector<std::uint64_t>& references, std::size_t width) {
    std::string object(1, static_cast<char>(0xA0 | references.size()));
    for (const auto reference : references) {
        appendBigEndian(object, reference, width);
    }
    return object;
}

// Each level refers twice to the next: tiny on disk, 2^levels objects for a parser that copies.
std::string doublingGraph(std::size_t levels) {
    std::vector<std::string> objects;
    for (std::size_t k = 0; k < levels; ++k) {
        objects.push_back(arrayOf({k + 1, k + 1}, 1));
    }
    objects.push_back("\x10\x01");
    return binaryList(objects, 1);
}

std::string binaryChain(std::size_t levels) {
    std::vector<std::string> objects;
    for (std::size_t k = 0; k < levels; ++k) {
        objects.push_back(arrayOf({k + 1}, 2));
    }
    objects.push_back("\x10\x01");
    return binaryList(objects, 2);
}

} // namespace

TEST(PropertyListGuard, AcceptsOrdinaryListsAndRefusesHostileOnes) {
    EXPECT_TRUE(
        propertyListPassesGuard(bytesOf(jobPlist("org.example.job", "<key>A</key><string>a > b</string>"))));
    EXPECT_TRUE(propertyListPassesGuard(bytesOf(nestedXml(100))));
    EXPECT_TRUE(propertyListPassesGuard(bytesOf(doublingGraph(10))));
    EXPECT_TRUE(propertyListPassesGuard(bytesOf(binaryChain(100))));

    EXPECT_FALSE(propertyListPassesGuard(bytesOf(nestedXml(5'000))));   // too deep, within the size bound
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(nestedXml(200'000)))); // and beyond it
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(binaryChain(5'000)))); // too deep
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(doublingGraph(40))));  // too many references
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(binaryList({arrayOf({0}, 1)}, 1)))); // a cycle
    EXPECT_FALSE(
        propertyListPassesGuard(bytesOf(binaryList({arrayOf({1}, 1)}, 1)))); // reference out of range
    EXPECT_FALSE(
        propertyListPassesGuard(bytesOf(binaryList({"\x5F\x10\xFFshort"}, 1))));    // string past the end
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(binaryList({"\x10\x01"}, 1, 1)))); // top out of range

    std::string wide;
    for (int k = 0; k < 100'001; ++k) {
        wide += "<true/>";
    }
    EXPECT_FALSE(propertyListPassesGuard(bytesOf("<plist><array>" + wide + "</array></plist>")));
    // The conversion of a parsed tree keeps the same budget, even for bytes that skipped the guard.
    EXPECT_FALSE(makePropertyListParser()->parse(bytesOf("<plist><array>" + wide + "</array></plist>")));
    EXPECT_TRUE(
        makePropertyListParser()->parse(bytesOf("<plist><array>" + wide.substr(700) + "</array></plist>")));
    EXPECT_FALSE(propertyListPassesGuard(
        bytesOf("<!DOCTYPE plist [<!ENTITY a \"aaaa\">]><plist><string>&a;</string></plist>")));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf("<plist><string"))); // unterminated tag

    // Only XML and binary lists: the old brace form has no markup for the walk to bound.
    EXPECT_TRUE(propertyListPassesGuard(bytesOf("\xEF\xBB\xBF\n  <plist><string>x</string></plist>")));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf("{ Label = job; }")));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(std::string(100'000, '(') + std::string(100'000, ')'))));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf("")));
}

TEST(PropertyListGuard, SharedObjectsCountOncePerReference) {
    // An array that refers many times to one large data object: a parser copies the object each time.
    const auto sharing = [](std::size_t references, std::size_t dataSize) {
        std::string array = "\xAF\x11";
        appendBigEndian(array, references, 2);
        for (std::size_t k = 0; k < references; ++k) {
            appendBigEndian(array, 1, 4);
        }
        std::string data = "\x4F\x12";
        appendBigEndian(data, dataSize, 4);
        data += std::string(dataSize, 'x');
        return binaryList({array, data}, 4);
    };
    EXPECT_TRUE(propertyListPassesGuard(bytesOf(sharing(1'000, 100)))); // small shared values are ordinary
    EXPECT_TRUE(propertyListPassesGuard(bytesOf(sharing(1, 900 * 1024))));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(sharing(2'000, 600 * 1024)))); // 1.2 GB once parsed
}

TEST(PropertyListGuard, HostileJobFilesScanWithoutALabel) {
    AgentWorld world;
    writeFile(world.path("deep.plist"), nestedXml(200'000));
    writeFile(world.path("deeper.plist"), nestedXml(5'000));
    writeFile(world.path("doubling.plist"), doublingGraph(40));
    writeFile(world.path("job.plist"), jobPlist("org.example.job"));

    auto monitorFolders = world.make();
    const auto snapshot = monitorFolders->scanJobFolders();
    ASSERT_EQ(snapshot.size(), 4u);
    EXPECT_EQ(snapshot.at(world.path("deep.plist")).label, "");
    EXPECT_EQ(snapshot.at(world.path("deeper.plist")).label, "");
    EXPECT_EQ(snapshot.at(world.path("doubling.plist")).label, "");
    EXPECT_EQ(snapshot.at(world.path("job.plist")).label, "org.example.job");

    // The exceptions file is read through the same guard.
    writeFile(world.exceptionsFolder / "Exceptions.plist", doublingGraph(40));
    monitorFolders->readExceptions();
    EXPECT_TRUE(monitorFolders->exceptions().empty());
}

TEST(PropertyListGuard, QuotesAndEncodingsCannotHideNesting) {
    const std::string deep = [] {
        std::string arrays;
        for (int k = 0; k < 1'000; ++k) {
            arrays += "<array>";
        }
        return arrays;
    }();
    // A parser that ends a tag at the first '>' and one that honours both quote kinds see the same tags.
    EXPECT_TRUE(
        propertyListPassesGuard(bytesOf("<?xml version='1.0'?><plist version=\"1.0\"><array/></plist>")));
    // The library honours only double quotes: what looks quoted to a reader of both kinds is markup to it.
    EXPECT_FALSE(propertyListPassesGuard(bytesOf("<plist version=\"1.0\" x='>" + deep + "'></plist>")));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf("<!DOCTYPE plist '>" + deep + "'><plist></plist>")));
    // And honours them in a processing instruction, where "?>" may then sit inside a value.
    EXPECT_FALSE(propertyListPassesGuard(bytesOf("<?xml a=\"?><!--\"?>" + deep + "-->")));
    // A '[' that one reader takes for an internal subset hides the rest up to "]>" from it.
    EXPECT_FALSE(propertyListPassesGuard(bytesOf("<!DOCTYPE x '['><!--]>" + deep + "-->")));
    // UTF-16 hides closing tags from a byte walk ('<' then NUL), and its characters can hold "</".
    std::string utf16;
    for (const char c : std::string("<plist><array></array></plist>")) {
        utf16.push_back(c);
        utf16.push_back('\0');
    }
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(utf16)));
}
