#include "PropertyListGuard.hpp"

#include "AgentFakes.hpp"
#include "BinaryListBytes.hpp"

#include <atomic>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

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

// A binary list whose objects are given as bytes, with references and offsets `width` bytes wide.
std::string binaryList(const std::vector<std::string>& objects, std::size_t width, std::uint64_t top = 0) {
    return binaryListOf(objects, width, width, top);
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
    EXPECT_EQ(propertyListGuard(bytesOf(sharing(2'000, 600 * 1024))), GuardBound::reachedBytes);
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

namespace {

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t k = 0; k + 1 < hex.size(); k += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16)));
    }
    return bytes;
}

// A binary dictionary of the given keys and values, each an object's bytes.
std::string binaryDictionary(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<std::string> objects(1);
    std::string& root = objects[0];
    root.push_back(static_cast<char>(0xD0 | entries.size()));
    for (std::size_t k = 0; k < entries.size(); ++k) {
        root.push_back(static_cast<char>(1 + k));
    }
    for (std::size_t k = 0; k < entries.size(); ++k) {
        root.push_back(static_cast<char>(1 + entries.size() + k));
    }
    for (const auto& entry : entries) {
        objects.push_back(entry.first);
    }
    for (const auto& entry : entries) {
        objects.push_back(entry.second);
    }
    return binaryList(objects, 1);
}

// The marker of a sized object: the size in its low nibble, or after it as an integer object.
std::string sized(unsigned kind, std::size_t size) {
    if (size < 15) {
        return std::string(1, static_cast<char>(kind << 4 | size));
    }
    std::string marker{static_cast<char>(kind << 4 | 0xF), '\x11'};
    appendBigEndian(marker, size, 2);
    return marker;
}

std::string ascii(const std::string& text) {
    return sized(0x5, text.size()) + text;
}

std::string utf16(const std::u16string& text) {
    std::string object = sized(0x6, text.size());
    for (const char16_t unit : text) {
        appendBigEndian(object, unit, 2);
    }
    return object;
}

std::string labelOfFile(AgentWorld& world, const std::string& name, const std::string& contents) {
    writeFile(world.path(name), contents);
    return world.make()->scanJobFolders().at(world.path(name)).label;
}

std::string repeated(const std::string& text, std::size_t times) {
    std::string result;
    result.reserve(text.size() * times);
    for (std::size_t k = 0; k < times; ++k) {
        result += text;
    }
    return result;
}

} // namespace

TEST(PropertyListGuard, RefusesBinaryStringsHoldingANul) {
    AgentWorld world;
    // A UTF-16 value holding U+0000: the parser aborts the process on it.
    const auto reproducer =
        fromHex("62706c6973743030d10102554c6162656c6200610000080b11000000000000010100000000000000"
                "0300000000000000000000000000000016");
    EXPECT_EQ(labelOfFile(world, "reproducer.plist", reproducer), "");
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(reproducer)));
    for (const auto& [what, list] : std::vector<std::pair<std::string, std::string>>{
             {"UTF-16 key", binaryDictionary({{ascii("Label"), ascii("job")},
                                              {utf16(std::u16string(u"a\0b", 3)), ascii("x")}})},
             {"ASCII value", binaryDictionary({{ascii("Label"), ascii(std::string("jo\0b", 4))}})},
             {"ASCII key", binaryDictionary({{ascii(std::string("Lab\0l", 5)), ascii("job")}})},
             {"key never read",
              binaryList({"\xD2\x01\x02\x03\x04", ascii("Label"), ascii("Nested"), ascii("job"),
                          "\xD1\x05\x06", utf16(std::u16string(1, u'\0')), ascii("x")},
                         1)},
         }) {
        EXPECT_FALSE(propertyListPassesGuard(bytesOf(list))) << what;
    }
    EXPECT_EQ(labelOfFile(world, "ordinary.plist", binaryDictionary({{ascii("Label"), ascii("job")}})),
              "job");
    // A zero byte inside a code unit is no NUL: U+0100 and U+0061 are ordinary.
    EXPECT_EQ(labelOfFile(world, "wide.plist", binaryDictionary({{ascii("Label"), utf16(u"\u0100a")}})),
              "\xC4\x80"
              "a");
}

TEST(PropertyListGuard, BoundsTheEntriesOfContainersAndTheEntitiesOfStrings) {
    AgentWorld world;
    const auto job = [](const std::string& extra) { return jobPlist("org.example.job", extra); };
    const auto dictionaryOf = [](std::size_t keys) {
        std::string text = "<dict>";
        for (std::size_t k = 0; k < keys; ++k) {
            text += "<key>K" + std::to_string(k) + "</key><true/>";
        }
        return text + "</dict>";
    };

    // Ordinary large job files: environment variables by the hundred, a script full of "&&".
    EXPECT_EQ(
        labelOfFile(world, "ordinary.plist",
                    job("<key>EnvironmentVariables</key>" + dictionaryOf(500) + "<key>Script</key><string>" +
                        repeated("a &amp;&amp; b &lt; c ", 300) + "</string>")),
        "org.example.job");

    // Keys that all fall into one bucket of a parser's hash: every pair of them is compared.
    std::vector<std::string> colliding{""};
    for (int block = 0; block < 9; ++block) {
        std::vector<std::string> longer;
        for (const auto& key : colliding) {
            for (const char* pair : {"c0", "bQ", "ar"}) { // 33 * first + second is the same for all three
                longer.push_back(key + pair);
            }
        }
        colliding.swap(longer);
    }
    std::string collidingKeys;
    for (const auto& key : colliding) {
        collidingKeys += "<key>" + key + "</key><true/>";
    }
    const auto collidingFile = job("<key>Colliding</key><dict>" + collidingKeys + "</dict>");
    ASSERT_LT(collidingFile.size(), PropertyListLimits::maxBytes);
    EXPECT_EQ(labelOfFile(world, "colliding.plist", collidingFile), "");

    // One string of entity references, each of which a parser may unescape by moving the rest of the text.
    EXPECT_EQ(labelOfFile(world, "entities.plist",
                          job("<key>A</key><string>" + repeated("&amp;", 200'000) + "</string>")),
              "");
    EXPECT_TRUE(propertyListPassesGuard(bytesOf(job("<string>" + repeated("&amp;", 1'024) + "</string>"))));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(job("<string>" + repeated("&amp;", 1'025) + "</string>"))));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(job("<key>" + repeated("&lt;", 1'025) + "</key><true/>"))));

    // At the bounds: one dictionary, several whose sizes squared add up, one array.
    EXPECT_TRUE(propertyListPassesGuard(bytesOf("<plist>" + dictionaryOf(2'048) + "</plist>")));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf("<plist>" + dictionaryOf(2'049) + "</plist>")));
    EXPECT_TRUE(propertyListPassesGuard(
        bytesOf("<plist><array>" + repeated(dictionaryOf(1'024), 4) + "</array></plist>")));
    EXPECT_FALSE(propertyListPassesGuard(
        bytesOf("<plist><array>" + repeated(dictionaryOf(1'024), 4) + dictionaryOf(1) + "</array></plist>")));
    EXPECT_TRUE(propertyListPassesGuard(
        bytesOf("<plist><array>" + repeated("<true/>", 16'384) + "</array></plist>")));
    EXPECT_FALSE(propertyListPassesGuard(
        bytesOf("<plist><array>" + repeated("<true/>", 16'385) + "</array></plist>")));

    // The same bounds for binary lists.
    const auto binaryArray = [](std::size_t elements) {
        std::string array = "\xAF\x11";
        appendBigEndian(array, elements, 2);
        for (std::size_t k = 0; k < elements; ++k) {
            appendBigEndian(array, 1, 2);
        }
        return binaryList({array, "\x09"}, 2);
    };
    EXPECT_TRUE(propertyListPassesGuard(bytesOf(binaryArray(16'384))));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(binaryArray(16'385))));
    const auto binaryKeys = [](std::size_t keys) {
        std::string dictionary = "\xDF\x11";
        appendBigEndian(dictionary, keys, 2);
        std::vector<std::string> objects{""};
        for (std::size_t k = 0; k < keys; ++k) {
            appendBigEndian(dictionary, 1 + k, 2);
            objects.push_back(ascii(std::to_string(k % 10'000 + 1'000)));
        }
        for (std::size_t k = 0; k < keys; ++k) {
            appendBigEndian(dictionary, 1 + keys, 2);
        }
        objects[0] = dictionary;
        objects.push_back("\x09");
        return binaryList(objects, 2);
    };
    EXPECT_TRUE(propertyListPassesGuard(bytesOf(binaryKeys(2'048))));
    EXPECT_FALSE(propertyListPassesGuard(bytesOf(binaryKeys(2'049))));
}

// The library walks k siblings to fetch element k of an array by index. Standing in for that call in this
// program counts what a conversion walks, which shows its cost without timing it.
namespace {
std::atomic<std::uint64_t> siblingsWalked{0};
} // namespace

extern "C" plist_t plist_array_get_item(plist_t node, std::uint32_t n) {
    using Real = plist_t (*)(plist_t, std::uint32_t);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "plist_array_get_item"));
    siblingsWalked += n;
    return real(node, n);
}

TEST(PropertyListGuard, ALongArrayIsConvertedInOnePass) {
    // One array of 99,990 references to one string, beside the label.
    std::string array = "\xAF\x12";
    appendBigEndian(array, 99'990, 4);
    for (int k = 0; k < 99'990; ++k) {
        appendBigEndian(array, 4, 4);
    }
    std::string root = "\xD2";
    for (const std::uint64_t reference : {1u, 2u, 5u, 3u}) {
        appendBigEndian(root, reference, 4);
    }
    const auto list =
        binaryList({root, ascii("Label"), ascii("Items"), array, ascii("x"), ascii("org.example.array")}, 4);

    // Too long an array for the guard, so the scan reads no label; the parser's conversion, which the
    // guard's budgets bound on their own, reads it whole all the same.
    AgentWorld world;
    EXPECT_EQ(labelOfFile(world, "array.plist", list), "");
    siblingsWalked = 0;
    const auto parsed = makePropertyListParser()->parse(bytesOf(list));
    EXPECT_LT(siblingsWalked.load(), 10 * 99'990u); // linear, where fetching each by index walks 5e9
    ASSERT_TRUE(parsed && parsed->dictionary());
    EXPECT_EQ(*parsed->dictionary()->at("Label").string(), "org.example.array");
    const auto* items = parsed->dictionary()->at("Items").array();
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(items->size(), 99'990u);
    EXPECT_EQ(*items->back().string(), "x");
}

// A refusal names the bound that refused, so that a log line can say why a list was ignored.
TEST(PropertyListGuard, NamesTheBoundThatRefusedAList) {
    const auto strings = [](std::size_t count) {
        std::string items;
        for (std::size_t k = 0; k < count; ++k) {
            items += "<string>label" + std::to_string(k) + "</string>";
        }
        return "<plist><dict><key>Exceptions</key><array>" + items + "</array></dict></plist>";
    };
    EXPECT_EQ(propertyListGuard(bytesOf(strings(PropertyListLimits::maxArrayElements))), GuardBound::none);
    EXPECT_EQ(propertyListGuard(bytesOf(strings(PropertyListLimits::maxArrayElements + 1))),
              GuardBound::arrayElements);
    EXPECT_EQ(describe(GuardBound::arrayElements), "at most 16384 elements in an array");
    EXPECT_EQ(propertyListGuard(bytesOf(nestedXml(5'000))), GuardBound::depth);
    EXPECT_EQ(propertyListGuard(bytesOf(nestedXml(200'000))), GuardBound::size);
    EXPECT_EQ(propertyListGuard(bytesOf(binaryChain(5'000))), GuardBound::depth);
    EXPECT_EQ(propertyListGuard(bytesOf(doublingGraph(40))), GuardBound::nodes);
    EXPECT_EQ(propertyListGuard(bytesOf("<plist><string")), GuardBound::form);
    EXPECT_EQ(propertyListGuard(bytesOf(binaryList({"\x5F\x10\xFFshort"}, 1))),
              GuardBound::form); // past the end
    EXPECT_EQ(propertyListGuard(bytesOf(binaryList({arrayOf({0}, 1)}, 1))), GuardBound::depth); // a cycle
}
