# The hardening Debian builds its packages with, for the optimized builds we ship: checked buffer
# functions (they need optimization), a stack protector, position-independent executables, and
# relocations made read-only before main runs. Builds under a sanitizer keep their own
# instrumentation: the checked functions would hide buffer overruns from AddressSanitizer. Apple's
# toolchain does all of this by default.
if(NOT QUORVEL_SANITIZE AND NOT APPLE)
    set(_quorvel_optimized "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
    # -U first: some compilers define a level of their own, and a second definition would be an error.
    add_compile_options("$<${_quorvel_optimized}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2;-fstack-protector-strong>")
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES C CXX)
    add_link_options("$<${_quorvel_optimized}:LINKER:-z,relro;LINKER:-z,now>")
endif()
