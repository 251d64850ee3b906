#include "FileReading.hpp"
#include "MonitorFolders.hpp"
#include "PropertyListGuard.hpp"
#include "PropertyListLabel.hpp"
#include "PropertyListReading.hpp"

#include <algorithm>
#include <cstdint>
#include <numeric>

namespace agent {

MonitorFolders::Snapshot MonitorFolders::scanJobFolders() const {
    Snapshot snapshot;
    DigestingReader reader(platform_.files, platform_.crypto, PropertyListLimits::maxBytes);
    byName_.resize(places_.watchedFolders.size());
    for (std::size_t index = 0; index < places_.watchedFolders.size(); ++index) {
        const auto& folderPath = places_.watchedFolders[index];
        auto* folder = snapshot.addFolder(folderPath);
        if (folder == nullptr) {
            continue; // listed already
        }
        auto open = platform_.files.openFolder(folderPath);
        if (!open || !open->list(listing_)) {
            continue;
        }
        // By name, as the snapshot keeps a folder: the last snapshot's folder is walked alongside instead of
        // searched, and each job goes in after the one before. A folder that has not changed lists in the
        // same order as last time, so the last order is tried first: it still holds when it puts the names
        // in strictly rising order, which costs one comparison per name instead of a sort.
        auto& order = byName_[index];
        const auto rising = [&](std::uint32_t a, std::uint32_t b) {
            return listing_[a].name < listing_[b].name;
        };
        if (order.size() != listing_.size() ||
            std::adjacent_find(order.begin(), order.end(), [&](auto a, auto b) { return !rising(a, b); }) !=
                order.end()) {
            order.resize(listing_.size());
            std::iota(order.begin(), order.end(), std::uint32_t{0});
            std::sort(order.begin(), order.end(), rising);
        }
        const SnapshotFolder* last = lastCheckedJobs_.folder(folder->path);
        folder->jobs.reserve(order.size());
        if (last != nullptr) {
            folder->text.reserve(last->text.size());
        }
        std::size_t known = 0;
        for (const auto at : order) {
            const auto* entry = &listing_[at];
            const StoredJob* knownJob = last != nullptr ? last->findFrom(entry->name, known) : nullptr;
            scanEntry(reader, *open, *entry, last, knownJob, *folder);
        }
        // Kept until the next check: no room to spare (a folder's text grew by doubling where it is new).
        folder->jobs.shrink_to_fit();
        folder->text.shrink_to_fit();
    }
    return snapshot;
}

void MonitorFolders::scanEntry(DigestingReader& reader, OpenFolder& folder, const FolderEntry& entry,
                               const SnapshotFolder* last, const StoredJob* known,
                               SnapshotFolder& into) const {
    // What cannot be read now keeps the last reading, so a file being written or made unreadable for a
    // moment is neither deleted nor new; one never read is left out until it can be.
    const auto keepLastReading = [&] {
        if (known != nullptr) {
            into.add(*known, entry.name, last->label(*known));
        }
    };
    switch (entry.type) {
    case FolderEntry::Type::other:
        return; // never opened: a FIFO's writer would be released
    case FolderEntry::Type::unknown:
        keepLastReading();
        return;
    case FolderEntry::Type::regularFile:
        break;
    }
    if (known != nullptr && known->versionKnown && entry.state && known->state == *entry.state) {
        keepLastReading();
        return;
    }
    const auto readingStart = std::chrono::system_clock::now();
    // One reading gives the checksum, the date and the label of the same version of the file.
    auto file = reader.read(folder, entry.name, TypeCheck::listed);
    const auto checksum = file ? gantry::digestFromText(file->checksum) : std::nullopt;
    if (!checksum) {
        keepLastReading();
        return;
    }
    std::string label;
    if (file->contents) {
        // The label is read from the bytes; only a file in an unusual form costs a parse.
        auto reading = jobLabelFromBytes(*file->contents);
        label = reading.outcome == LabelReading::Outcome::undecided
                    ? jobLabel(dictionaryFromBytes(platform_.propertyLists, *file->contents))
                    : std::move(reading.label);
    }
    StoredJob job;
    job.checksum = *checksum;
    job.state = file->state;
    job.versionKnown = file->state.statusChanged + places_.timestampResolution < readingStart;
    into.add(job, entry.name, label);
}

} // namespace agent
