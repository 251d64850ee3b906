#include "../Mortar.hpp"

namespace mortar {

// English texts: the key is its own text.
std::string LString(std::string_view key) {
    return std::string(key);
}

} // namespace mortar
