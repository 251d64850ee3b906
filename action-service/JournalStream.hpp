#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace action_service {

// Which file an open descriptor is: its device and inode numbers.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// Whether standard error is the journal, so that a line written there reaches it already and the
// system log would give it a second time. `journalStream` is JOURNAL_STREAM as the process got it
// ("<device>:<inode>" in decimal, set by the service manager that connected standard error to the
// journal): children inherit it, so it counts only while standard error is still that very file.
bool standardErrorIsJournal(std::optional<std::string_view> journalStream,
                            std::optional<FileIdentity> standardError);

} // namespace action_service
