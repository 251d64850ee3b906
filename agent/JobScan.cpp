#include "FileReading.hpp"
#include "MonitorFolders.hpp"
#include "PropertyListGuard.hpp"
#include "PropertyListLabel.hpp"
#include "PropertyListReading.hpp"

#include <algorithm>
#include <iterator>

namespace agent {

MonitorFolders::Snapshot MonitorFolders::scanJobFolders() const {
    Snapshot snapshot;
    DigestingReader reader(platform_.files, platform_.crypto, PropertyListLimits::maxBytes);
    for (const auto& folder : places_.watchedFolders) {
        auto entries = platform_.files.list(folder);
        if (!entries) {
            continue;
        }
        // In the snapshots' order, a folder's entries are one run of both: the last snapshot is walked
        // alongside instead of searched, and each entry goes in just after the one before, so that a
        // scan of many files costs no tree search per file.
        std::sort(entries->begin(), entries->end(), [](const FolderEntry& a, const FolderEntry& b) {
            return a.path.native() < b.path.native();
        });
        auto known = entries->empty() ? lastCheckedJobs_.end()
                                      : lastCheckedJobs_.lower_bound(entries->front().path.native());
        auto next = snapshot.end();
        for (const auto& entry : *entries) {
            auto path = entry.path.string();
            while (known != lastCheckedJobs_.end() && known->first < path) {
                ++known;
            }
            const bool wasKnown = known != lastCheckedJobs_.end() && known->first == path;
            auto job = scanEntry(reader, entry, wasKnown ? &known->second : nullptr);
            if (job) {
                next = std::next(snapshot.insert_or_assign(next, std::move(path), std::move(*job)));
            }
        }
    }
    return snapshot;
}

std::optional<MonitorFolders::Job>
MonitorFolders::scanEntry(DigestingReader& reader, const FolderEntry& entry, const Job* known) const {
    // What cannot be read now keeps the last reading, so a file being written or made unreadable for a
    // moment is neither deleted nor new; one never read is left out until it can be.
    const auto lastReading = known != nullptr ? std::optional<Job>(*known) : std::nullopt;
    switch (entry.type) {
    case FolderEntry::Type::other:
        return std::nullopt; // never opened: a FIFO's writer would be released
    case FolderEntry::Type::unknown:
        return lastReading;
    case FolderEntry::Type::regularFile:
        break;
    }
    if (known != nullptr && known->knownVersion && entry.state && *known->knownVersion == *entry.state) {
        return *known;
    }
    const auto readingStart = std::chrono::system_clock::now();
    // One reading gives the checksum, the date and the label of the same version of the file.
    auto file = reader.read(entry.path, TypeCheck::listed);
    if (!file) {
        return lastReading;
    }
    std::string label;
    if (file->contents) {
        // The label is read from the bytes; only a file in an unusual form costs a parse.
        auto reading = jobLabelFromBytes(*file->contents);
        label = reading.outcome == LabelReading::Outcome::undecided
                    ? jobLabel(dictionaryFromBytes(platform_.propertyLists, *file->contents))
                    : std::move(reading.label);
    }
    Job job{std::move(file->checksum), file->state.modified, std::move(label), std::nullopt};
    if (file->state.statusChanged + places_.timestampResolution < readingStart) {
        job.knownVersion = file->state;
    }
    return job;
}

} // namespace agent
