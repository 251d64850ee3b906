#pragma once

#include <cstdlib>
#include <string_view>

namespace test_support {

// The soak tests run a short version in every suite, so that the suite stays quick on a busy machine,
// and their full length where QUORVEL_SOAK=full is set (CI's soak step, or by hand).
inline bool fullSoak() {
    const char* value = std::getenv("QUORVEL_SOAK");
    return value != nullptr && std::string_view(value) == "full";
}

// `full` in a full soak, `short_` otherwise.
inline int soakLength(int short_, int full) {
    return fullSoak() ? full : short_;
}

} // namespace test_support
