// The atomic write killed at 250 random moments spread over its every stage: the destination always holds one
// whole version, and what a killed write leaves behind is hidden from launchd and the agent and cleared by a
// later write.
#include "PosixFileSystem.hpp"
#include "TempFolder.hpp"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using action_service::PosixFileSystem;

// Reads the whole file into `bytes`, reusing its storage: freed 4 MB copies would pile up in the
// sanitizer's quarantine, and every fork copies the page tables of what stays resident.
void readWhole(const fs::path& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes.resize(fs::file_size(path));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
}

std::vector<fs::path> leftovers(const fs::path& folder, const fs::path& destination) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path() != destination) {
            found.push_back(entry.path());
        }
    }
    return found;
}

// Starts a child that writes `text` to `path` and ends; returns its pid.
pid_t startWriter(const fs::path& path, const std::string& text) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        PosixFileSystem files;
        ::_exit(files.writeAtomically(path.string(), text) ? 1 : 0);
    }
    return pid;
}

TEST(CrashSafety, AWriteKilledAtAnyMomentLeavesOneWholeVersionAndHiddenLeftovers) {
    // In memory where the system has it (the temporary folders' default): a kill tests the rename, not
    // the disk, and hundreds of synced 4 MB writes would take minutes on a busy disk.
    test_support::TempFolder folder("crash");
    const fs::path destination = folder.path() / "com.example.job.plist";
    // Two texts of 4 MB that differ in every block, so any mix of the two is seen.
    const std::string first(4 << 20, 'a');
    const std::string second(4 << 20, 'b');
    PosixFileSystem files;
    ASSERT_FALSE(files.writeAtomically(destination.string(), first));

    // How long one whole write takes here, so the kills spread over the write's every stage.
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        const pid_t pid = startWriter(destination, i % 2 == 0 ? second : first);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto writeTime = (std::chrono::steady_clock::now() - started) / 5;

    std::string now;
    now.reserve(first.size());
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<std::int64_t> delay(
        0, std::chrono::duration_cast<std::chrono::microseconds>(writeTime).count());
    for (int round = 0; round < 250; ++round) {
        const pid_t pid = startWriter(destination, round % 2 == 0 ? first : second);
        // The moment of the kill is what this test varies; it waits for nothing.
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        readWhole(destination, now);
        ASSERT_TRUE(now == first || now == second) << "round " << round << ": " << now.size() << " bytes";
    }

    const auto left = leftovers(folder.path(), destination);
    for (const auto& path : left) {
        const std::string name = path.filename().string();
        EXPECT_EQ(name.front(), '.') << name;
        EXPECT_FALSE(name.ends_with(".plist")) << name;
    }

    // Leftovers older than a minute go with the next write; a fresh one may be a write under way.
    ASSERT_FALSE(left.empty()) << "no write was killed before its rename";
    const timespec old[2] = {{::time(nullptr) - 120, 0}, {::time(nullptr) - 120, 0}};
    for (std::size_t k = 1; k < left.size(); ++k) {
        ASSERT_EQ(::utimensat(AT_FDCWD, left[k].c_str(), old, 0), 0);
    }
    const fs::path otherJob = folder.path() / ".other.plist.abcdef";
    std::ofstream(otherJob) << "another destination's";
    ASSERT_EQ(::utimensat(AT_FDCWD, otherJob.c_str(), old, 0), 0);
    ASSERT_FALSE(files.writeAtomically(destination.string(), second));
    readWhole(destination, now);
    EXPECT_EQ(now, second);
    std::vector<fs::path> expected = {left[0], otherJob};
    auto remaining = leftovers(folder.path(), destination);
    std::sort(remaining.begin(), remaining.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(remaining, expected);
}

} // namespace
