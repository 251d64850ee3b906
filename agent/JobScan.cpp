#include "FileReading.hpp"
#include "MonitorFolders.hpp"
#include "PropertyListGuard.hpp"
#include "PropertyListReading.hpp"

namespace agent {

MonitorFolders::Snapshot MonitorFolders::scanJobFolders() const {
    Snapshot snapshot;
    for (const auto& folder : places_.watchedFolders) {
        const auto entries = platform_.files.list(folder);
        if (!entries) {
            continue;
        }
        for (const auto& entry : *entries) {
            if (!entry.modified) {
                continue;
            }
            // One reading gives the checksum, the date and the label of the same version of the file.
            auto file =
                readDigested(platform_.files, platform_.crypto, entry.path, PropertyListLimits::maxBytes);
            if (!file) {
                continue;
            }
            std::string label;
            if (file->contents) {
                label = jobLabel(dictionaryFromBytes(platform_.propertyLists, *file->contents));
            }
            snapshot[entry.path.string()] =
                Job{std::move(file->checksum), file->state.modified, std::move(label)};
        }
    }
    return snapshot;
}

} // namespace agent
