// Stands in, in bench/idle, for the other C++ programs of a desktop: it maps the C++ runtime, as they do,
// so that the runtime's pages are counted as shared, not as the agent's own. It does the least a C++
// program does: the standard streams' set-up (which the runtime itself makes for every program since
// GCC 13), a string, a vector, an exception; then it waits to be ended.
#include <iostream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> words(argv, argv + argc);
    try {
        throw std::runtime_error(words.front());
    } catch (const std::exception&) {
    }
    std::cout << std::flush;
    pause();
    return 0;
}
