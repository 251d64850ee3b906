# quorvel_add_manual_page(<page>.<section>.in): the manual page with the build's @VARIABLES@ filled in,
# compressed as Debian keeps manual pages (gzip -9n: smallest, no name or time stamp), built with
# everything and installed in <mandir>/man<section>.
find_program(QUORVEL_GZIP gzip REQUIRED)
function(quorvel_add_manual_page source)
    get_filename_component(_file "${source}" NAME)
    string(REGEX REPLACE "\\.in$" "" _file "${_file}")
    string(REGEX MATCH "[0-9]$" _section "${_file}")
    set(_page "${CMAKE_CURRENT_BINARY_DIR}/man/${_file}")
    configure_file("${source}" "${_page}" @ONLY)
    add_custom_command(OUTPUT "${_page}.gz"
        COMMAND "${QUORVEL_GZIP}" -9n --keep --force "${_page}"
        DEPENDS "${_page}"
        VERBATIM)
    string(MAKE_C_IDENTIFIER "${_file}" _target)
    add_custom_target(manual_page_${_target} ALL DEPENDS "${_page}.gz")
    install(FILES "${_page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man${_section}")
endfunction()
