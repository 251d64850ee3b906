// Built into the program only under AddressSanitizer (ThreadSanitizer calls realloc while it starts a
// thread, before an instrumented function may run). Its realloc always moves the block, even to the
// size it has: sd-bus sizes its read buffer to a whole message and reallocs it to that same size after
// every read from the socket (some 200 KB each), which becomes a copy of the whole buffer per read, time
// quadratic in the message's size (40 MB took 26 s). The C library keeps the block in place, and so does
// this.
#include <cstddef>
#include <dlfcn.h>
#include <malloc.h>

extern "C" void* realloc(void* block, std::size_t size) {
    using Realloc = void* (*)(void*, std::size_t);
    static const auto next = reinterpret_cast<Realloc>(dlsym(RTLD_NEXT, "realloc"));
    if (block != nullptr && size != 0 && size == malloc_usable_size(block)) {
        return block;
    }
    return next(block, size);
}
