#include "FileReading.hpp"
#include "MonitorFolders.hpp"
#include "PropertyListGuard.hpp"
#include "ShownText.hpp"
#include "TextOutput.hpp"

#include <cstdio>

namespace agent {

namespace {

// A list the guard refuses for its size is said so once per reading: otherwise every job it excepts would
// be reported without a hint why. Malformed files are left silent (one may be read half written).
void logRefused(const std::filesystem::path& file, GuardBound bound) {
    const std::string line = "Quorvel: the exceptions file " + shownText(file.string()) +
                             " is ignored: it is beyond the bound of " + describe(bound) + "\n";
    common::writeAll(stderr, line);
}

} // namespace

void MonitorFolders::readExceptions() {
    const auto& file = places_.exceptionsFileURL;
    const auto bytes = readBounded(platform_.files, file, PropertyListLimits::maxBytes);
    if (!bytes) {
        const auto opened = platform_.files.openRegular(file, TypeCheck::statusFirst);
        const auto state = opened ? opened->state() : std::nullopt;
        if (state && state->size > PropertyListLimits::maxBytes) {
            logRefused(file, GuardBound::size);
        }
        return;
    }
    if (const auto bound = propertyListGuard(*bytes); bound != GuardBound::none) {
        if (bound != GuardBound::form) {
            logRefused(file, bound);
        }
        return;
    }
    const auto value = platform_.propertyLists.parse(*bytes);
    if (!value || value->dictionary() == nullptr) {
        return;
    }
    const auto& dictionary = *value->dictionary();
    const auto found = dictionary.find(mortar::Const::Key::exceptions);
    if (found == dictionary.end() || found->second.array() == nullptr) {
        return;
    }
    std::vector<std::string> labels;
    for (const auto& element : *found->second.array()) {
        if (element.string() == nullptr) {
            return; // one element that is no string spoils the whole list
        }
        labels.push_back(*element.string());
    }
    // Built here, once per reading, so that a notification looks its label up rather than scan the list.
    std::unordered_set<std::string> excepted(labels.begin(), labels.end());
    std::lock_guard lock(exceptionsMutex_);
    exceptions_ = std::move(labels);
    exceptedLabels_ = std::move(excepted);
}

std::vector<std::string> MonitorFolders::exceptions() const {
    std::lock_guard lock(exceptionsMutex_);
    return exceptions_;
}

bool MonitorFolders::isExcepted(const std::string& label) const {
    std::lock_guard lock(exceptionsMutex_);
    return exceptedLabels_.contains(label);
}

const std::filesystem::path& exceptionsFileURL() {
    static const std::filesystem::path url =
        mortar::URL::NonSandboxedUser::library() /
        std::filesystem::path(mortar::Const::PathComponent::applicationSupport) / "Quorvel" /
        std::filesystem::path(mortar::Const::FileName::exceptions);
    return url;
}

} // namespace agent
