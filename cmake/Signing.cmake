# Code signing of the macOS bundles. The agent's sandbox is granted by the entitlements it is signed
# with; the service runs outside the sandbox and is signed with the same identity, without entitlements.
# "-" signs ad hoc; an empty identity leaves both bundles unsigned (for a signing step of one's own).
set(QUORVEL_CODESIGN_IDENTITY "-" CACHE STRING "Identity that signs the macOS bundles (empty: unsigned)")
find_program(QUORVEL_CODESIGN codesign)

# quorvel_sign_bundle(<target> [ENTITLEMENTS <file>]): signs the target's bundle after every build.
function(quorvel_sign_bundle target)
    cmake_parse_arguments(PARSE_ARGV 1 _sign "" "ENTITLEMENTS" "")
    if(QUORVEL_CODESIGN_IDENTITY STREQUAL "")
        return()
    endif()
    if(NOT QUORVEL_CODESIGN)
        message(FATAL_ERROR "codesign not found: set QUORVEL_CODESIGN_IDENTITY to \"\" to build unsigned bundles")
    endif()
    set(_entitlements)
    if(_sign_ENTITLEMENTS)
        set(_entitlements --entitlements "${_sign_ENTITLEMENTS}")
    endif()
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND "${QUORVEL_CODESIGN}" --force --sign "${QUORVEL_CODESIGN_IDENTITY}" ${_entitlements}
                "$<TARGET_BUNDLE_DIR:${target}>"
        VERBATIM)
endfunction()
