#pragma once

#include "BusStreamFilter.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace action_service {

// What a reader gets from `stream` fed to a BusStreamFilter in pieces of `piece` bytes, then the end,
// taking what is ready in pieces of varying size. Nothing if the filter ever offers no space.
inline std::optional<std::vector<std::uint8_t>> readThroughFilter(std::span<const std::uint8_t> stream,
                                                                  std::size_t piece) {
    BusStreamFilter filter;
    std::vector<std::uint8_t> out;
    const auto drain = [&] {
        for (auto ready = filter.ready(); !ready.empty(); ready = filter.ready()) {
            const std::size_t taken = std::min<std::size_t>(ready.size(), 16 + out.size() % 100);
            out.insert(out.end(), ready.begin(), ready.begin() + static_cast<long>(taken));
            filter.consumed(taken);
        }
    };
    for (std::size_t fed = 0; fed < stream.size();) {
        const auto space = filter.space();
        if (space.empty()) {
            return std::nullopt;
        }
        const std::size_t count = std::min({piece, space.size(), stream.size() - fed});
        std::copy_n(stream.begin() + static_cast<long>(fed), count, space.begin());
        filter.received(count);
        fed += count;
        drain();
    }
    filter.ended();
    drain();
    return out;
}

} // namespace action_service
