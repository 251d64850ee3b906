#include "../FreedMemory.hpp"

#include <malloc/malloc.h>

namespace agent {

void returnFreedMemory() {
    ::malloc_zone_pressure_relief(nullptr, 0);
}

} // namespace agent
