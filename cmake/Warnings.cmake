# Warnings are errors for all of our own targets.
add_library(quorvel_warnings INTERFACE)
target_compile_options(quorvel_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
    -Wold-style-cast -Woverloaded-virtual -Wimplicit-fallthrough -Werror)
