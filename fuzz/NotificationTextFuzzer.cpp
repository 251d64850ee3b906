// File names and home folders through the text the agent shows. The text must be valid UTF-8 holding no
// C0 or C1 control, DEL, line or paragraph separator or bidirectional control; a posted notification
// keeps the exact path as its identifier. Input: the home folder, a NUL, then the file name.
#include "AgentFakes.hpp"
#include "ShownText.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Aborts unless the text is valid UTF-8 without any code point a shown text may not hold.
void requireShowable(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80    ? 1
                                   : lead >= 0xF0 ? 4
                                   : lead >= 0xE0 ? 3
                                   : lead >= 0xC2 ? 2
                                                  : 0;
        if (length == 0 || at + length > text.size() || (lead >= 0xF5)) {
            std::abort();
        }
        std::uint32_t point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[at + k]);
            if ((next & 0xC0) != 0x80) {
                std::abort();
            }
            point = (point << 6) | (next & 0x3Fu);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < least[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            std::abort(); // overlong, out of range or a surrogate
        }
        const bool control = point < 0x20 || (point >= 0x7F && point <= 0x9F);
        const bool separator = point == 0x2028 || point == 0x2029;
        const bool direction = point == 0x200E || point == 0x200F || (point >= 0x202A && point <= 0x202E) ||
                               (point >= 0x2066 && point <= 0x2069);
        if (control || separator || direction) {
            std::abort();
        }
        at += length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto nul = input.find('\0');
    const std::string home = nul == std::string::npos ? "" : input.substr(0, nul);
    const std::string name = nul == std::string::npos ? input : input.substr(nul + 1);

    requireShowable(shownText(shownPath(home + "/" + name, home)));
    requireShowable(shownText(shownPath(name, home)));

    // Posted by the agent: in a job folder of a world of fakes, as new (with its identifier) and deleted.
    static agent_test::AgentWorld world;
    static const auto monitor = world.make();
    const std::string path = world.path(name);
    world.center.delivered.clear();
    monitor->postNotification(path, agent::MonitorFolders::Kind::new_);
    monitor->postNotification(path, agent::MonitorFolders::Kind::deleted);
    if (world.center.delivered.size() != 2 || world.center.delivered[0].identifier != path ||
        world.center.delivered[1].identifier.has_value()) {
        std::abort();
    }
    for (const auto& notification : world.center.delivered) {
        requireShowable(notification.text);
    }
    return 0;
}
