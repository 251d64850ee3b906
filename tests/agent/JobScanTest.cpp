#include "AgentFakes.hpp"
#include "FileReading.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace agent_test;

namespace {

// A binary property list {Label: label, RunAtLoad: true}, written out by hand so that the test needs no
// property-list library: header, five objects, offset table, trailer.
std::string binaryJob(const std::string& label) {
    std::string bytes = "bplist00";
    std::vector<std::size_t> offsets;
    const auto asciiString = [&](const std::string& text) {
        offsets.push_back(bytes.size());
        if (text.size() < 15) {
            bytes.push_back(static_cast<char>(0x50 | text.size()));
        } else {
            bytes.push_back('\x5f');
            bytes.push_back('\x10'); // a one-byte length follows
            bytes.push_back(static_cast<char>(text.size()));
        }
        bytes += text;
    };
    offsets.push_back(bytes.size());
    bytes += std::string("\xd2\x01\x02\x03\x04", 5); // dictionary: keys 1, 2; values 3, 4
    asciiString("Label");
    asciiString("RunAtLoad");
    asciiString(label);
    offsets.push_back(bytes.size());
    bytes.push_back('\x09'); // true
    const std::size_t table = bytes.size();
    for (const std::size_t offset : offsets) {
        bytes.push_back(static_cast<char>(offset));
    }
    const auto bigEndian64 = [&](std::size_t value) {
        for (int shift = 56; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<char>((value >> shift) & 0xff));
        }
    };
    bytes += std::string(6, '\0');
    bytes.push_back('\x01'); // offset size
    bytes.push_back('\x01'); // object reference size
    bigEndian64(offsets.size());
    bigEndian64(0); // top object
    bigEndian64(table);
    return bytes;
}

} // namespace

TEST(JobScan, RecordsEveryVisibleFileDirectlyInTheFoldersWithItsLabel) {
    AgentWorld world;
    writeFile(world.path("xml.plist"), jobPlist("org.example.xml"));
    writeFile(world.path("binary.plist"), binaryJob("org.example.binary"));
    writeFile(world.path("notes.txt"), "not a property list");
    writeFile(world.path("number.plist"),
              "<plist version=\"1.0\"><dict><key>Label</key><integer>5</integer></dict></plist>");
    writeFile(world.path("array.plist"), "<plist version=\"1.0\"><array><string>x</string></array></plist>");
    // Markup in an unusual form is read by the platform's parser rather than from the bytes.
    writeFile(world.path("spaced.plist"),
              "<plist><dict ><key >Label</key ><string >org.example.spaced</string ></dict ></plist>");
    // Labels are short names: a longer one is no label.
    writeFile(world.path("longest.plist"), jobPlist(std::string(1024, 'l')));
    writeFile(world.path("long.plist"), jobPlist(std::string(1025, 'l')));
    writeFile(world.path(".hidden.plist"), jobPlist("org.example.hidden"));
    std::filesystem::create_directories(world.userAgents / "Folder.plist");
    writeFile(world.userAgents / "Folder.plist" / "inner.plist", jobPlist("org.example.inner"));
    // Another job folder; the others (local startup items, all of the system's) do not exist.
    std::filesystem::create_directories(world.folders[2]);
    writeFile(world.folders[2] / "daemon.plist", jobPlist("org.example.daemon"));

    auto monitorFolders = world.make();
    const auto snapshot = monitorFolders->scanJobFolders();

    std::map<std::string, std::string> labels;
    for (const auto& [path, job] : snapshot) {
        labels[path] = job.label;
        EXPECT_EQ(job.checksum.size(), 32u) << path;
    }
    const std::map<std::string, std::string> expected{
        {world.path("xml.plist"), "org.example.xml"},
        {world.path("binary.plist"), "org.example.binary"},
        {world.path("notes.txt"), ""},
        {world.path("number.plist"), ""},
        {world.path("array.plist"), ""},
        {world.path("spaced.plist"), "org.example.spaced"},
        {world.path("longest.plist"), std::string(1024, 'l')},
        {world.path("long.plist"), ""},
        {(world.folders[2] / "daemon.plist").string(), "org.example.daemon"},
    };
    EXPECT_EQ(labels, expected);

    // Known digest, and the date at full precision.
    writeFile(world.path("abc"), "abc");
    const FileDate date{std::chrono::seconds(1'600'000'000) + std::chrono::nanoseconds(123'456'789)};
    setModified(world.path("abc"), date);
    const auto again = monitorFolders->scanJobFolders();
    EXPECT_EQ(again.at(world.path("abc")).checksum, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(again.at(world.path("abc")).modifiedDate, date);

    // Unchanged folders scan equal.
    EXPECT_EQ(monitorFolders->scanJobFolders(), again);
}

TEST(JobScan, LeavesOutWhatIsNoRegularFileWithoutBlocking) {
    AgentWorld world;
    writeFile(world.path("real.plist"), jobPlist("org.example.real"));
    ASSERT_EQ(::mkfifo(world.path("fifo.plist").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", world.path("zero.plist"));
    std::filesystem::create_symlink(world.path("real.plist"), world.path("link.plist"));
    std::filesystem::create_symlink(world.path("gone.plist"), world.path("dangling.plist"));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const auto socketPath = world.path("socket.plist");
    ASSERT_LT(socketPath.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);

    auto monitorFolders = world.make();
    const auto snapshot = monitorFolders->scanJobFolders();
    ::close(sock);

    std::vector<std::string> paths;
    for (const auto& entry : snapshot) {
        paths.push_back(entry.first);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{world.path("link.plist"), world.path("real.plist")}));
    EXPECT_EQ(snapshot.at(world.path("link.plist")).label, "org.example.real");

    // The other reads go through the same door: the label read before posting, and the exceptions file.
    ASSERT_EQ(::mkfifo((world.exceptionsFolder / "Exceptions.plist").c_str(), 0600), 0);
    monitorFolders->readExceptions();
    EXPECT_TRUE(monitorFolders->exceptions().empty());
    monitorFolders->postNotification(world.path("fifo.plist"), MonitorFolders::Kind::new_);
    EXPECT_EQ(world.center.texts(), std::vector<std::string>{"New: ~/Library/LaunchAgents/fifo.plist"});
}

TEST(JobScan, ReadsLargeFilesInChunksAndSkipsTheirParse) {
    // A file of 32 MiB that is never in memory at once, and is read to its end.
    constexpr std::uint64_t size = 32u << 20;
    struct Reads {
        std::uint64_t left = size;
        std::size_t largest = 0;
    };
    class Zeros final : public ReadableFile {
    public:
        explicit Zeros(Reads& reads)
            : reads_(reads) {}
        std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
            reads_.largest = std::max(reads_.largest, buffer.size());
            const auto count = std::min<std::uint64_t>(buffer.size(), reads_.left);
            std::fill_n(buffer.begin(), count, std::uint8_t{0});
            reads_.left -= count;
            return static_cast<std::size_t>(count);
        }
        std::optional<FileState> state() override { return FileState{1, 2, size, {}, {}}; }

    private:
        Reads& reads_;
    };
    class ZerosAccess final : public FileAccess {
    public:
        std::unique_ptr<OpenFolder> openFolder(const std::filesystem::path&) override { return nullptr; }
        std::unique_ptr<ReadableFile> openRegular(const std::filesystem::path&, TypeCheck) override {
            return std::make_unique<Zeros>(reads);
        }
        Reads reads;
    } zeros;
    gantry::Crypto crypto([] { return gantry::makeMd5(); });
    DigestingReader reader(zeros, crypto, 1024 * 1024);
    const auto read = reader.read("/zeros", TypeCheck::listed);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->checksum, "58f06dd588d8ffb3beb46ada6309436b");
    EXPECT_FALSE(read->contents);
    EXPECT_EQ(zeros.reads.left, 0u);
    EXPECT_LE(zeros.reads.largest, 1u << 20);

    AgentWorld world;
    const std::string padding(1200 * 1024, ' ');
    writeFile(world.path("large.plist"), jobPlist("org.example.large", "<!--" + padding + "-->"));
    writeFile(world.path("fits.plist"),
              jobPlist("org.example.fits", "<!--" + std::string(900 * 1024, ' ') + "-->"));
    const auto snapshot = world.make()->scanJobFolders();
    EXPECT_EQ(snapshot.at(world.path("large.plist")).label, "");
    EXPECT_EQ(snapshot.at(world.path("fits.plist")).label, "org.example.fits");
}

// Appends to the file it reads on the first read of the first `moves` openings.
class MovingFileAccess final : public FileAccess {
public:
    MovingFileAccess(FileAccess& files, int moves)
        : files_(files)
        , moves_(moves) {}
    std::unique_ptr<OpenFolder> openFolder(const std::filesystem::path& folder) override {
        return files_.openFolder(folder);
    }
    std::unique_ptr<ReadableFile> openRegular(const std::filesystem::path& file, TypeCheck check) override {
        auto opened = files_.openRegular(file, check);
        if (!opened) {
            return nullptr;
        }
        ++openings;
        return std::make_unique<Moving>(std::move(opened), file, moves_-- > 0);
    }
    int openings = 0;

private:
    class Moving final : public ReadableFile {
    public:
        Moving(std::unique_ptr<ReadableFile> file, std::filesystem::path path, bool move)
            : file_(std::move(file))
            , path_(std::move(path))
            , move_(move) {}
        std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
            if (move_) {
                move_ = false;
                std::ofstream(path_, std::ios::app) << "more";
            }
            return file_->read(buffer);
        }
        std::optional<FileState> state() override { return file_->state(); }

    private:
        std::unique_ptr<ReadableFile> file_;
        std::filesystem::path path_;
        bool move_;
    };
    FileAccess& files_;
    int moves_;
};

TEST(JobScan, AFileThatChangesWhileReadIsReadAgainOrLeftOut) {
    AgentWorld world;
    writeFile(world.path("busy.plist"), "x");
    gantry::Crypto crypto([] { return gantry::makeMd5(); });

    MovingFileAccess onceMoving(*world.files, 1);
    DigestingReader onceMovingReader(onceMoving, crypto, 1024);
    const auto settled = onceMovingReader.read(world.path("busy.plist"), TypeCheck::listed);
    ASSERT_TRUE(settled);
    EXPECT_EQ(onceMoving.openings, 2);
    // The second reading's checksum, of "xmore", with the date and size of that same version.
    EXPECT_EQ(settled->checksum, "db217c9e4e79ee6b3ee38307a92d8b77");
    ASSERT_TRUE(settled->contents);
    EXPECT_EQ(std::vector<std::uint8_t>(settled->contents->begin(), settled->contents->end()),
              (std::vector<std::uint8_t>{'x', 'm', 'o', 'r', 'e'}));
    EXPECT_EQ(settled->state.size, 5u);
    EXPECT_EQ(settled->state.modified,
              world.files->openRegular(world.path("busy.plist"), TypeCheck::statusFirst)->state()->modified);

    MovingFileAccess alwaysMoving(*world.files, 100);
    DigestingReader alwaysMovingReader(alwaysMoving, crypto, 1024);
    EXPECT_FALSE(alwaysMovingReader.read(world.path("busy.plist"), TypeCheck::listed));
    EXPECT_EQ(alwaysMoving.openings, 2);
}

TEST(JobScan, LeavesAWriterBlockedOnAFifoBlocked) {
    AgentWorld world;
    const auto job = world.path("job.plist");
    writeFile(job, jobPlist("org.example.job"));
    auto monitorFolders = world.make();
    monitorFolders->startMonitoring();

    // The job file is replaced by a FIFO with a writer waiting for a reader.
    std::filesystem::remove(job);
    ASSERT_EQ(::mkfifo(job.c_str(), 0600), 0);
    std::atomic<pid_t> writerId{0};
    std::atomic<bool> released{false};
    std::thread writer([&] {
        writerId = static_cast<pid_t>(::syscall(SYS_gettid));
        const int descriptor = ::open(job.c_str(), O_WRONLY | O_CLOEXEC);
        released = true;
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    });
    // Blocked in the kernel in its open, as /proc tells; a woken writer is "running" or past it.
    const auto blockedInOpen = [&] {
        std::ifstream syscall("/proc/self/task/" + std::to_string(writerId.load()) + "/syscall");
        std::string number;
        return writerId.load() != 0 && (syscall >> number) && number == std::to_string(SYS_openat);
    };
    EXPECT_TRUE(test_support::waitFor(blockedInOpen));

    world.reportAndCheck(world.userAgents);
    EXPECT_EQ(world.center.texts(), std::vector<std::string>{"Deleted: ~/Library/LaunchAgents/job.plist"});
    monitorFolders->postNotification(job, MonitorFolders::Kind::new_);
    EXPECT_TRUE(blockedInOpen());
    EXPECT_FALSE(released);

    const int reader = ::open(job.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writer.join();
    ::close(reader);
}
