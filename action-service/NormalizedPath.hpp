#pragma once

#include <string_view>

namespace action_service {

// True for an absolute path that names an item by its own name: it begins with "/", names at least one
// component, and holds no "." or ".." component, no empty component other than after one trailing
// separator, and no NUL byte. Such a path means the same before and after any lexical clean-up, so a
// removal or a write can reach nothing but the item it names: not the folder it lies in, not a
// folder above it, not a tree behind a link that a last "." would enter.
bool isNormalizedAbsolutePath(std::string_view path);

} // namespace action_service
