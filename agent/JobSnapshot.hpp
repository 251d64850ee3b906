#pragma once

#include "frameworks/FileAccess.hpp"
#include "frameworks/Gantry.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace agent {

// One job file as a snapshot records it (MonitorFolders::Job).
struct Job {
    std::string checksum; // the MD5 of the contents, 32 lower-case hex digits
    FileDate modifiedDate;
    std::string label;
    bool operator==(const Job&) const = default;
};

using Checksum = gantry::Md5::Digest;

// A job as a snapshot stores it: fixed size, its name and label kept in its folder's text.
struct StoredJob {
    Checksum checksum{};
    // The status the checksum and label were read from; `versionKnown` when a later scan may recognise the
    // file by that status alone instead of reading it again.
    FileState state;
    std::uint32_t nameAt = 0;
    std::uint32_t labelAt = 0;
    std::uint16_t nameLength = 0;
    std::uint16_t labelLength = 0;
    bool versionKnown = false;
};

// The jobs of one watched folder, in the order of their names.
struct SnapshotFolder {
    std::string path; // the folder with a trailing separator: a job's full path is this and its name
    std::vector<StoredJob> jobs;
    std::string text; // the jobs' names and labels, one after another

    std::string_view name(const StoredJob& job) const { return {text.data() + job.nameAt, job.nameLength}; }
    std::string_view label(const StoredJob& job) const {
        return {text.data() + job.labelAt, job.labelLength};
    }
    // Appends a job whose name sorts after every name here; false (nothing added) when its name or label is
    // too long to be stored.
    bool add(const StoredJob& job, std::string_view name, std::string_view label);
    const StoredJob* find(std::string_view name) const;
    // The same, for names asked in rising order: `cursor` (0 for the first) moves past the names before it,
    // so one walk of the folder answers them all.
    const StoredJob* findFrom(std::string_view name, std::size_t& cursor) const;
};

// Job file path to job, for every job file of the watched folders: what one scan found. Paths are stored
// once per folder, each job once in a compact form; Job values are made when asked for.
class JobSnapshot {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::pair<std::string, Job>;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = value_type;

        const_iterator() = default;
        value_type operator*() const;
        const_iterator& operator++();
        const_iterator operator++(int) {
            auto before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator&) const = default;

    private:
        friend class JobSnapshot;
        const_iterator(const std::vector<SnapshotFolder>* folders, std::size_t folder, std::size_t job);
        void skipEmptyFolders();
        const std::vector<SnapshotFolder>* folders_ = nullptr;
        std::size_t folder_ = 0;
        std::size_t job_ = 0;
    };
    using iterator = const_iterator;

    // Adds the next watched folder, empty; nullptr when the same folder is there already.
    SnapshotFolder* addFolder(const std::filesystem::path& folder);
    const std::vector<SnapshotFolder>& folders() const { return folders_; }
    // The folder whose path (with a trailing separator) is `path`; nullptr when there is none.
    const SnapshotFolder* folder(std::string_view path) const;

    std::size_t size() const;
    bool empty() const { return size() == 0; }
    bool contains(std::string_view path) const { return findStored(path).first != nullptr; }
    std::optional<Job> find(std::string_view path) const;
    // Throws std::out_of_range when the path has no job.
    Job at(std::string_view path) const;
    const_iterator begin() const { return {&folders_, 0, 0}; }
    const_iterator end() const { return {&folders_, folders_.size(), 0}; }

    // Equal when both hold the same paths with equal jobs.
    bool operator==(const JobSnapshot& other) const;

private:
    std::pair<const StoredJob*, const SnapshotFolder*> findStored(std::string_view path) const;

    std::vector<SnapshotFolder> folders_;
};

// The Job a stored job records.
Job jobOf(const SnapshotFolder& folder, const StoredJob& job);

} // namespace agent
