// The label read from the bytes against the platform parser's reading of the whole file: whenever the
// reader decides, both give the same label or both none; ordinary files must be decided.
#include "PropertyListLabel.hpp"

#include "AgentFakes.hpp"
#include "BinaryListBytes.hpp"
#include "PropertyListGuard.hpp"
#include "PropertyListReading.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

using namespace agent_test;

namespace {

using Outcome = LabelReading::Outcome;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::optional<std::string> parsedLabel(const std::string& bytes) {
    static const auto parser = makePropertyListParser();
    return labelIn(dictionaryFromBytes(*parser, bytesOf(bytes)));
}

// The reader's label, which must match the parser's when decided; nothing when undecided.
std::optional<std::optional<std::string>> readAndCompare(const std::string& bytes) {
    const auto reading = jobLabelFromBytes(bytesOf(bytes));
    if (reading.outcome == Outcome::undecided) {
        return std::nullopt;
    }
    const auto read = reading.outcome == Outcome::label ? std::optional(reading.label) : std::nullopt;
    EXPECT_EQ(read, parsedLabel(bytes)) << bytes;
    return read;
}

// Requires the reader to decide, the parser to agree, and both to give `expected`.
void expectDecided(const std::string& bytes, const std::optional<std::string>& expected) {
    const auto read = readAndCompare(bytes);
    ASSERT_TRUE(read.has_value()) << "undecided: " << bytes;
    EXPECT_EQ(*read, expected) << bytes;
}

std::string withHeader(const std::string& root) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + root + "\n</plist>\n";
}

std::string labelString(const std::string& content) {
    return withHeader("<dict><key>Label</key><string>" + content + "</string></dict>");
}

// A binary list of the given objects with one-byte references, object 0 at the top.
std::string binaryList(const std::vector<std::string>& objects) {
    return binaryListOf(objects, 2, 1);
}

// A string, array or dictionary marker with its count: in the low four bits, or as an integer after them.
std::string marker(int type, std::size_t count) {
    if (count < 15) {
        return std::string(1, static_cast<char>(type << 4 | static_cast<int>(count)));
    }
    std::string out{static_cast<char>(type << 4 | 0xF), '\x11'};
    appendBigEndian(out, count, 2);
    return out;
}

std::string dictionaryOf(const std::vector<std::pair<int, int>>& entries) {
    std::string object = marker(0xD, entries.size());
    for (const auto& entry : entries) {
        object.push_back(static_cast<char>(entry.first));
    }
    for (const auto& entry : entries) {
        object.push_back(static_cast<char>(entry.second));
    }
    return object;
}

std::string ascii(const std::string& text) {
    return marker(0x5, text.size()) + text;
}

std::string utf16(const std::vector<std::uint16_t>& units) {
    std::string object = marker(0x6, units.size());
    for (const auto unit : units) {
        appendBigEndian(object, unit, 2);
    }
    return object;
}

} // namespace

TEST(PropertyListLabel, DecidesOrdinaryFilesAsTheParserDoes) {
    expectDecided(jobPlist("com.example.job"), "com.example.job");
    expectDecided(jobPlist("org.example.a",
                           "<key>ProgramArguments</key>\n<array>\n<string>/bin/echo</string>\n"
                           "<string>x &gt; y</string></array>\n<key>RunAtLoad</key><true/>\n"
                           "<key>KeepAlive</key><dict><key>SuccessfulExit</key><false/></dict>\n"
                           "<key>Nice</key><integer>-5</integer><key>R</key><real>1.5</real>\n"
                           "<key>D</key><date>2020-01-01T00:00:00Z</date>\n"
                           "<key>B</key><data>\n\tQUJD\n</data><key>E</key><array/>\n"),
                  "org.example.a");
    // Label last, comments and white space everywhere, another encoding declared, no declaration at all.
    expectDecided(withHeader("<!-- a job --><dict>\n <key>A</key> <string>a</string> <!-- x --> "
                             "<key>Label</key>\r\n\t<string> spaced\tout </string>\n</dict>"),
                  " spaced\tout ");
    expectDecided("<?xml version='1.0' encoding='utf-8'?><plist><dict><key>Label</key>"
                  "<string>caf\xC3\xA9</string></dict></plist>",
                  "caf\xC3\xA9");
    expectDecided("<plist version=\"1.0\"><dict><key>Label</key><string>plain</string></dict></plist>",
                  "plain");
    expectDecided(binaryList({dictionaryOf({{1, 2}, {3, 4}}), ascii("Label"), ascii("com.example.binary"),
                              ascii("RunAtLoad"), "\x09"}),
                  "com.example.binary");
    expectDecided(binaryList({dictionaryOf({{1, 2}}), utf16({'L', 'a', 'b', 'e', 'l'}),
                              utf16({'j', 0xE9, 0x20AC, 0xD83D, 0xDE00})}),
                  "j\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(PropertyListLabel, DecodesTextAsTheParserDoes) {
    expectDecided(labelString("a&amp;b&lt;c&gt;d&quot;e&apos;f"), "a&b<c>d\"e'f");
    expectDecided(labelString("&amp;lt;&#65;&#x42;&#X43;&#0068;&#xe9;&#x20AC;&#x1F600;&#1114111;"),
                  "&lt;ABCD\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
    expectDecided(labelString("a<![CDATA[x&amp;<y]]>&lt;<![CDATA[]]>z"), "ax&amp;<y<z");
    expectDecided(labelString(""), "");
    expectDecided(withHeader("<dict><key>Label</key><string/></dict>"), "");
    expectDecided(withHeader("<dict><key>La&#98;<![CDATA[el]]></key><string>by reference</string></dict>"),
                  "by reference");
    // References the parser refuses or reads in its own way are either decided alike or left to it.
    for (const std::string text :
         {"&#xD800;", "&#57343;", "&#0;", "&#x110000;", "a&", "&ampx;", "&#+65;", "&#x0x41;", "&# 65;", "&;",
          "&#;", "&#x;", "&unknown;", "&#000000065;", "a & b", "a<!-- c -->b"}) {
        readAndCompare(labelString(text));
    }
}

TEST(PropertyListLabel, AgreesWithTheParserOnUnusualAndHostileFiles) {
    const std::string label = "<key>Label</key><string>job</string>";
    // Decided: the last of several labels, labels that are no string or too long, nested and missing labels.
    expectDecided(withHeader("<dict>" + label + "<key>Label</key><string>second</string></dict>"), "second");
    expectDecided(withHeader("<dict>" + label + "<key>Label</key><array/></dict>"), std::nullopt);
    expectDecided(withHeader("<dict><key>Label</key><integer>7</integer></dict>"), std::nullopt);
    expectDecided(withHeader("<dict><key>Label</key><dict>" + label + "</dict></dict>"), std::nullopt);
    expectDecided(withHeader("<dict><key>Inner</key><dict>" + label + "</dict></dict>"), std::nullopt);
    expectDecided(withHeader("<array><dict>" + label + "</dict></array>"), std::nullopt);
    expectDecided(labelString(std::string(maxLabelBytes, 'x')), std::string(maxLabelBytes, 'x'));
    expectDecided(labelString(std::string(maxLabelBytes + 1, 'x')), std::nullopt);
    expectDecided(labelString(std::string(maxLabelBytes - 1, 'x') + "&amp;"),
                  std::string(maxLabelBytes - 1, 'x') + "&");
    expectDecided(withHeader("<dict>" + label + "</dict>") + "<array><key>never read</key>",
                  "job"); // the parser stops
    expectDecided("<plist><dict>" + label + "<key>Deep</key>" + std::string(200, '<') + "</dict></plist>",
                  std::nullopt); // the guard refuses it
    expectDecided(
        binaryList({dictionaryOf({{1, 2}, {1, 3}}), ascii("Label"), ascii("first"), ascii("second")}),
        "second");
    expectDecided(binaryList({dictionaryOf({{1, 2}}), ascii("Label"), "\x10\x07"}), std::nullopt);
    expectDecided(binaryList({"\xA1\x01", dictionaryOf({{2, 3}}), ascii("Label"), ascii("in an array")}),
                  std::nullopt);

    // Whatever these are decided as, the parser agrees: errors after the label, odd markup, odd objects.
    const std::vector<std::string> files = {
        withHeader("<dict>" + label + "<key>X</key><foo/></dict>"),
        withHeader("<dict>" + label + "<key>X</key><string>unterminated</dict>"),
        withHeader("<dict>" + label + "<key>X</key><data>!!!</data><key>Y</key><date>bad</date></dict>"),
        withHeader("<dict>" + label + "<key>X</key><integer>zz</integer><key>Z</key><true>x</true></dict>"),
        withHeader("<dict>text" + label + "</dict>"),
        withHeader("<dict>" + label + "<key>dangling</key></dict>"),
        withHeader("<dict><key>Label</key><key>a key as a value</key></dict>"),
        withHeader("<dict>" + label + "<key>A</key><array><key>in an array</key></array></dict>"),
        withHeader("<dict >" + label + "</dict >"),
        withHeader("<dict><key >Label</key><string >job</string ></dict>"),
        withHeader("<dict>" + label + "<?pi inside?></dict>"),
        withHeader("<dict>" + label),
        withHeader("<string>job</string>"),
        withHeader("<dict/>"),
        withHeader("<dict/>" + label), // the parser reads on into the empty root
        withHeader("<array/>"),
        withHeader("<dict><key>CF$UID</key><integer>1</integer></dict>"),
        "\xEF\xBB\xBF" + jobPlist("with.bom"),
        "<dict>" + label + "</dict>",
        "<plist/><dict>" + label + "</dict>",
        "<?>" + withHeader("<dict>" + label + "</dict>"),
        "<!DOCTYPE plist [<!ENTITY e \"x\">]><plist><dict>" + label + "</dict></plist>",
        "<!DOCTYPE plist \"a>b\"><plist><dict>" + label + "</dict></plist>",
        "<?xml version=\"1.0>\"?><plist><dict>" + label + "</dict></plist>",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><dict><key>Label</key><string>caf\xE9</string>"
        "</dict></plist>",
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><dict>" + label + "</dict></plist>",
        "<?xml version=\"1.0\" encoding=UTF-8?><plist><dict>" + label + "</dict></plist>",
        "<plist version=\"1.0\"/><dict>" + label + "</dict></plist>",
        "<plist><dict><key>Label</key><string>a<!-- split -->b</string></dict></plist>",
        binaryList({dictionaryOf({{1, 2}}), ascii("Label"), utf16({0xD83D})}),
        binaryList({dictionaryOf({{1, 2}}), ascii("Label"), utf16({0xDE00, 'x'})}),
        binaryList({dictionaryOf({{1, 2}}), ascii("Label"), ascii("caf\xE9")}),
        binaryList({dictionaryOf({{1, 2}}), "\x10\x01", ascii("integer key")}),
        binaryList({dictionaryOf({{1, 2}, {3, 4}}), ascii("Label"), ascii("job"), ascii("N"), "\x00"}),
        binaryList({dictionaryOf({{1, 2}, {3, 4}}), ascii("Label"), ascii("job"), ascii("U"), "\x80\x01"}),
        binaryList({dictionaryOf({{1, 2}}), ascii("Label"), "\x5F\x10\x03job"}),
        binaryList({ascii("a string at the top")}),
        binaryList({dictionaryOf({{1, 2}, {3, 4}}), ascii("Label"), ascii("job"), ascii("X"), utf16({})}),
    };
    for (const auto& file : files) {
        readAndCompare(file);
    }
}

// Each element's self-closing form as a key, as a value, as the label and in an array: decided only where
// the parser reads it, and then alike. The parser refuses a dictionary holding <key/>, so a reader that took
// it for an empty key would find a label in a file the parser cannot read.
TEST(PropertyListLabel, SelfClosingFormsAreDecidedAsTheParserReadsThem) {
    const std::string label = "<key>Label</key><string>a</string>";
    EXPECT_FALSE(
        readAndCompare(withHeader("<dict><key/><string>z</string>" + label + "</dict>")).has_value());
    EXPECT_FALSE(
        readAndCompare(withHeader("<dict>" + label + "<key/><string>z</string></dict>")).has_value());
    for (const std::string form :
         {"<key/>", "<string/>", "<integer/>", "<real/>", "<date/>", "<data/>", "<dict/>", "<array/>"}) {
        readAndCompare(withHeader("<dict><key>X</key>" + form + label + "</dict>"));
        readAndCompare(withHeader("<dict>" + label + "<key>X</key>" + form + "</dict>"));
        readAndCompare(withHeader("<dict><key>Label</key>" + form + "</dict>"));
        readAndCompare(withHeader("<dict>" + label + "<key>A</key><array>" + form + "</array></dict>"));
        readAndCompare(withHeader("<dict>" + form + label + "</dict>"));
    }
    // The values' empty forms are ordinary in job files: decided.
    expectDecided(withHeader("<dict><key>I</key><integer/><key>R</key><real/><key>D</key><date/><key>B</key>"
                             "<data/>" +
                             label + "</dict>"),
                  "a");
    expectDecided(withHeader("<dict><key>Label</key><integer/></dict>"), std::nullopt);
}

TEST(PropertyListLabel, SeedCorpusAgreesAndOrdinaryFilesAreDecided) {
    std::size_t ordinary = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QUORVEL_JOB_FILE_CORPUS)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const auto read = readAndCompare(bytes);
        if (entry.path().filename().string().starts_with("ordinary-")) {
            ++ordinary;
            EXPECT_TRUE(propertyListPassesGuard(bytesOf(bytes))) << entry.path();
            ASSERT_TRUE(read.has_value()) << "undecided: " << entry.path();
            EXPECT_TRUE(read->has_value()) << entry.path();
        }
    }
    EXPECT_GE(ordinary, 4U);
}
