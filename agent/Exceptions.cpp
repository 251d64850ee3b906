#include "FileReading.hpp"
#include "MonitorFolders.hpp"
#include "PropertyListReading.hpp"

namespace agent {

void MonitorFolders::readExceptions() {
    const auto dictionary =
        readDictionary(platform_.files, platform_.propertyLists, places_.exceptionsFileURL);
    if (!dictionary) {
        return;
    }
    const auto found = dictionary->find(mortar::Const::Key::exceptions);
    if (found == dictionary->end() || found->second.array() == nullptr) {
        return;
    }
    std::vector<std::string> labels;
    for (const auto& element : *found->second.array()) {
        if (element.string() == nullptr) {
            return; // one element that is no string spoils the whole list
        }
        labels.push_back(*element.string());
    }
    std::lock_guard lock(exceptionsMutex_);
    exceptions_ = std::move(labels);
}

std::vector<std::string> MonitorFolders::exceptions() const {
    std::lock_guard lock(exceptionsMutex_);
    return exceptions_;
}

const std::filesystem::path& exceptionsFileURL() {
    static const std::filesystem::path url =
        mortar::URL::NonSandboxedUser::library() /
        std::filesystem::path(mortar::Const::PathComponent::applicationSupport) / "Quorvel" /
        std::filesystem::path(mortar::Const::FileName::exceptions);
    return url;
}

} // namespace agent
