# The darwin check: compiles every file of this macOS configuration (compile_commands.json) without
# building anything. Prints "N passed, M failed" last and fails when a file fails.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_target(darwin_check
    COMMAND Python3::Interpreter "${CMAKE_CURRENT_LIST_DIR}/run" "${PROJECT_BINARY_DIR}"
    USES_TERMINAL
    VERBATIM)
