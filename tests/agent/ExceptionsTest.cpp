#include "AgentFakes.hpp"

#include <gtest/gtest.h>

using namespace agent_test;

TEST(Exceptions, OnlyAValidArrayOfStringsReplacesTheList) {
    AgentWorld world;
    const auto file = world.exceptionsFolder / "Exceptions.plist";
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    EXPECT_TRUE(monitorFolders->exceptions().empty());
    const auto reload = [&] { world.monitorFor(world.exceptionsFolder)->report(); };

    writeFile(file, exceptionsPlist("<string>b</string><string>a</string><string>b</string>"));
    reload();
    const std::vector<std::string> list{"b", "a", "b"};
    EXPECT_EQ(monitorFolders->exceptions(), list);
    EXPECT_EQ(world.timer.pending(), 0u); // reloaded at once, no check scheduled

    for (const std::string& spoiled :
         {exceptionsPlist("<string>c</string><integer>1</integer>"),
          std::string("<plist><dict><key>Other</key><array/></dict></plist>"),
          std::string("<plist><array><string>c</string></array></plist>"),
          std::string("<plist><dict><key>Exceptions</key><string>c</string></dict></plist>"),
          std::string("garbage")}) {
        writeFile(file, spoiled);
        reload();
        EXPECT_EQ(monitorFolders->exceptions(), list) << spoiled;
    }
    std::filesystem::remove(file);
    reload();
    EXPECT_EQ(monitorFolders->exceptions(), list);

    // A change to any file in the folder reloads: here the list was rewritten beside another file's change.
    writeFile(file, exceptionsPlist("<string>z</string>"));
    writeFile(world.exceptionsFolder / "Other.plist", "x");
    monitorFolders->folderDidChange(world.exceptionsFolder / ""); // the same folder, spelled as a directory
    EXPECT_EQ(monitorFolders->exceptions(), std::vector<std::string>{"z"});

    writeFile(file, exceptionsPlist(""));
    reload();
    EXPECT_TRUE(monitorFolders->exceptions().empty());
}

// Looked up per notification in a set made at each reload: the same answers as the list, and a list the
// guard refuses for its size leaves the last one in force.
TEST(Exceptions, LabelsAreLookedUpExactlyAndAnOversizedListKeepsTheLastOne) {
    AgentWorld world;
    const auto file = world.exceptionsFolder / "Exceptions.plist";
    writeFile(file, exceptionsPlist("<string>a</string><string>B</string><string></string>"));
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();
    EXPECT_TRUE(monitorFolders->isExcepted("a"));
    EXPECT_TRUE(monitorFolders->isExcepted("B"));
    EXPECT_TRUE(monitorFolders->isExcepted(""));
    EXPECT_FALSE(monitorFolders->isExcepted("b"));
    EXPECT_FALSE(monitorFolders->isExcepted("a "));

    std::string many;
    for (int k = 0; k < 16385; ++k) {
        many += "<string>c" + std::to_string(k) + "</string>";
    }
    writeFile(file, exceptionsPlist(many));
    world.monitorFor(world.exceptionsFolder)->report();
    EXPECT_TRUE(monitorFolders->isExcepted("a"));
    EXPECT_FALSE(monitorFolders->isExcepted("c1"));
    EXPECT_EQ(monitorFolders->exceptions().size(), 3u);

    writeFile(file, exceptionsPlist("<string>c1</string>"));
    world.monitorFor(world.exceptionsFolder)->report();
    EXPECT_FALSE(monitorFolders->isExcepted("a"));
    EXPECT_TRUE(monitorFolders->isExcepted("c1"));
}
