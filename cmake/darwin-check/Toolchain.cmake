# Configures the project as a macOS build on a Linux machine, for the darwin check: CMake's Darwin
# platform lays out the bundles and writes the real compile commands, with the installed clang. Nothing
# is built or linked here, so the steps that only a Mac can run (ranlib's Apple options, install names,
# code signing) are no-ops.
set(CMAKE_SYSTEM_NAME Darwin)
# Darwin 19 is macOS 10.15.
set(CMAKE_SYSTEM_VERSION 19.0.0)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

find_program(QUORVEL_CHECK_CLANG NAMES clang REQUIRED)
find_program(QUORVEL_CHECK_CLANGXX NAMES clang++ REQUIRED)
find_program(QUORVEL_CHECK_TRUE NAMES true REQUIRED)
set(CMAKE_C_COMPILER ${QUORVEL_CHECK_CLANG})
set(CMAKE_CXX_COMPILER ${QUORVEL_CHECK_CLANGXX})
set(CMAKE_OBJCXX_COMPILER ${QUORVEL_CHECK_CLANGXX})
set(CMAKE_RANLIB ${QUORVEL_CHECK_TRUE} CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL ${QUORVEL_CHECK_TRUE} CACHE FILEPATH "")
set(QUORVEL_CODESIGN ${QUORVEL_CHECK_TRUE} CACHE FILEPATH "")
set(CMAKE_OSX_SYSROOT "/" CACHE PATH "")

# The host's linker knows no Darwin options: configure checks compile without linking.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# What the macOS C library lacks, which the host's would report as present.
set(QUORVEL_HAVE_PIPE2 0 CACHE INTERNAL "macOS has no pipe2")

# Headers come from the host (GNUstep, GoogleTest), programs from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(QUORVEL_DARWIN_CHECK ON CACHE BOOL "Configured for the darwin check")
# GoogleTest's headers are the host's, found through its multiarch library folder.
execute_process(COMMAND ${QUORVEL_CHECK_CLANG} -print-multiarch OUTPUT_VARIABLE _multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CMAKE_LIBRARY_ARCHITECTURE ${_multiarch})
