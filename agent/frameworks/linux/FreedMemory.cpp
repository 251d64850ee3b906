#include "../FreedMemory.hpp"

#if QUORVEL_HAVE_MALLOC_TRIM
#include <malloc.h>
#endif

namespace agent {

void returnFreedMemory() {
#if QUORVEL_HAVE_MALLOC_TRIM
    ::malloc_trim(0);
#endif
}

} // namespace agent
