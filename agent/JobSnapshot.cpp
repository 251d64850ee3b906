#include "JobSnapshot.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace agent {

namespace {

// A job's path in the form the folders keep: the folder with a trailing separator, and the name.
std::pair<std::string_view, std::string_view> split(std::string_view path) {
    const auto separator = path.rfind('/');
    if (separator == std::string_view::npos) {
        return {std::string_view(), path};
    }
    return {path.substr(0, separator + 1), path.substr(separator + 1)};
}

} // namespace

bool SnapshotFolder::add(const StoredJob& job, std::string_view name, std::string_view label) {
    constexpr auto maxLength = std::numeric_limits<std::uint16_t>::max();
    if (name.size() > maxLength || label.size() > maxLength ||
        text.size() + name.size() + label.size() > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    StoredJob stored = job;
    stored.nameAt = static_cast<std::uint32_t>(text.size());
    stored.nameLength = static_cast<std::uint16_t>(name.size());
    text.append(name);
    // A job file is usually named after its label ("label.plist"): then the label is the start of the name.
    if (name.starts_with(label)) {
        stored.labelAt = stored.nameAt;
    } else {
        stored.labelAt = static_cast<std::uint32_t>(text.size());
        text.append(label);
    }
    stored.labelLength = static_cast<std::uint16_t>(label.size());
    jobs.push_back(stored);
    return true;
}

const StoredJob* SnapshotFolder::find(std::string_view name) const {
    const auto found =
        std::lower_bound(jobs.begin(), jobs.end(), name, [&](const StoredJob& job, std::string_view wanted) {
            return this->name(job) < wanted;
        });
    return found != jobs.end() && this->name(*found) == name ? &*found : nullptr;
}

const StoredJob* SnapshotFolder::findFrom(std::string_view name, std::size_t& cursor) const {
    while (cursor < jobs.size() && this->name(jobs[cursor]) < name) {
        ++cursor;
    }
    return cursor < jobs.size() && this->name(jobs[cursor]) == name ? &jobs[cursor] : nullptr;
}

Job jobOf(const SnapshotFolder& folder, const StoredJob& job) {
    return Job{gantry::digestText(job.checksum), job.state.modified, std::string(folder.label(job))};
}

SnapshotFolder* JobSnapshot::addFolder(const std::filesystem::path& folder) {
    std::string path = folder.native();
    if (path.empty() || path.back() != '/') {
        path.push_back('/');
    }
    if (this->folder(path) != nullptr) {
        return nullptr;
    }
    folders_.push_back(SnapshotFolder{std::move(path), {}, {}});
    return &folders_.back();
}

const SnapshotFolder* JobSnapshot::folder(std::string_view path) const {
    for (const auto& folder : folders_) {
        if (folder.path == path) {
            return &folder;
        }
    }
    return nullptr;
}

std::size_t JobSnapshot::size() const {
    std::size_t count = 0;
    for (const auto& folder : folders_) {
        count += folder.jobs.size();
    }
    return count;
}

std::pair<const StoredJob*, const SnapshotFolder*> JobSnapshot::findStored(std::string_view path) const {
    const auto [folderPath, name] = split(path);
    const auto* folder = this->folder(folderPath);
    if (folder == nullptr) {
        return {nullptr, nullptr};
    }
    return {folder->find(name), folder};
}

std::optional<Job> JobSnapshot::find(std::string_view path) const {
    const auto [job, folder] = findStored(path);
    if (job == nullptr) {
        return std::nullopt;
    }
    return jobOf(*folder, *job);
}

Job JobSnapshot::at(std::string_view path) const {
    auto job = find(path);
    if (!job) {
        throw std::out_of_range("no job at " + std::string(path));
    }
    return std::move(*job);
}

bool JobSnapshot::operator==(const JobSnapshot& other) const {
    if (size() != other.size()) {
        return false;
    }
    for (const auto& folder : folders_) {
        if (folder.jobs.empty()) {
            continue;
        }
        const auto* theirs = other.folder(folder.path);
        if (theirs == nullptr || theirs->jobs.size() != folder.jobs.size()) {
            return false;
        }
        for (std::size_t i = 0; i < folder.jobs.size(); ++i) {
            const auto& mine = folder.jobs[i];
            const auto& their = theirs->jobs[i];
            if (folder.name(mine) != theirs->name(their) || mine.checksum != their.checksum ||
                mine.state.modified != their.state.modified || folder.label(mine) != theirs->label(their)) {
                return false;
            }
        }
    }
    return true;
}

JobSnapshot::const_iterator::const_iterator(const std::vector<SnapshotFolder>* folders, std::size_t folder,
                                            std::size_t job)
    : folders_(folders)
    , folder_(folder)
    , job_(job) {
    skipEmptyFolders();
}

void JobSnapshot::const_iterator::skipEmptyFolders() {
    while (folder_ < folders_->size() && job_ >= (*folders_)[folder_].jobs.size()) {
        ++folder_;
        job_ = 0;
    }
}

JobSnapshot::const_iterator::value_type JobSnapshot::const_iterator::operator*() const {
    const auto& folder = (*folders_)[folder_];
    const auto& job = folder.jobs[job_];
    return {folder.path + std::string(folder.name(job)), jobOf(folder, job)};
}

JobSnapshot::const_iterator& JobSnapshot::const_iterator::operator++() {
    ++job_;
    skipEmptyFolders();
    return *this;
}

} // namespace agent
