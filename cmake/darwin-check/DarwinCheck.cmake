# The darwin check: compiles every file of this macOS configuration (compile_commands.json) without
# building anything. Prints "N passed, M failed" last and fails when a file fails.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_target(darwin_check
    COMMAND Python3::Interpreter "${CMAKE_CURRENT_LIST_DIR}/run" "${PROJECT_BINARY_DIR}"
    USES_TERMINAL
    VERBATIM)

# The check's own test: each kind of fault it exists to catch must make it fail, for the reason expected.
# It runs with the check rather than in the test suite: it compiles a dozen files against the macOS
# headers, which is the check's cost, not the suite's.
add_custom_target(darwin_check_faults
    COMMAND Python3::Interpreter "${PROJECT_SOURCE_DIR}/tests/darwin/darwin-check-faults"
            "${PROJECT_SOURCE_DIR}" "${PROJECT_BINARY_DIR}/darwin-check-faults"
    USES_TERMINAL
    VERBATIM)
add_dependencies(darwin_check_faults darwin_check)
