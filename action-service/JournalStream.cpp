#include "JournalStream.hpp"

#include <charconv>

namespace action_service {

namespace {

// A decimal number that fills `text` exactly.
std::optional<std::uint64_t> wholeNumber(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

} // namespace

bool standardErrorIsJournal(std::optional<std::string_view> journalStream,
                            std::optional<FileIdentity> standardError) {
    if (!journalStream || !standardError) {
        return false;
    }
    const auto colon = journalStream->find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const auto device = wholeNumber(journalStream->substr(0, colon));
    const auto inode = wholeNumber(journalStream->substr(colon + 1));
    return device && inode && *device == standardError->device && *inode == standardError->inode;
}

} // namespace action_service
