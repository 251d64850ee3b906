#include "FileReading.hpp"
#include "MonitorFolders.hpp"
#include "PropertyListGuard.hpp"
#include "PropertyListLabel.hpp"
#include "PropertyListReading.hpp"

namespace agent {

MonitorFolders::Snapshot MonitorFolders::scanJobFolders() const {
    Snapshot snapshot;
    DigestingReader reader(platform_.files, platform_.crypto, PropertyListLimits::maxBytes);
    for (const auto& folder : places_.watchedFolders) {
        const auto entries = platform_.files.list(folder);
        if (!entries) {
            continue;
        }
        for (const auto& entry : *entries) {
            auto path = entry.path.string();
            const auto known = lastCheckedJobs_.find(path);
            auto job = scanEntry(reader, entry, known == lastCheckedJobs_.end() ? nullptr : &known->second);
            if (job) {
                snapshot[std::move(path)] = std::move(*job);
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
