# The Debian package of both programs: `cpack -G DEB` in the release build folder. It installs under /usr
# what `cmake --install --prefix /usr` installs (the programs in /usr/libexec, the D-Bus .service file in
# /usr/share/dbus-1/services, the login item in /etc/xdg/autostart, the manual pages, the icon, the
# changelog and copyright file) and depends on the libraries the programs link, as dpkg-shlibdeps finds
# them, and on a session bus.
set(CPACK_PACKAGE_NAME "quorvel-helpers")
set(CPACK_PACKAGE_VENDOR "Quorvel")
set(CPACK_PACKAGE_CONTACT "Quorvel maintainers <maintainers@quorvel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "helper programs of Quorvel, the launchd job editor")
set(CPACK_PACKAGE_DESCRIPTION [=[
Quorvel is a desktop application that edits and manages launchd jobs, the
property-list files in the LaunchAgents, LaunchDaemons and StartupItems
folders. This package holds its two helper programs:
 * QuorvelAgent, started at login, watches the job folders of the user, the
   machine and the system, and posts a desktop notification for every job
   file that is new, modified or deleted. Clicking one opens the job in
   Quorvel.
 * Quorvel5XPCAction, a session bus service started on demand, carries out
   Quorvel's requests: it writes job files, loads, unloads and test-runs jobs
   with launchctl, and deletes files.
Both run as processes of the logged-in user.]=])
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_INSTALL_PREFIX "/usr")
# Install with DESTDIR, so that the install steps see the prefix /usr (Exec= names the installed
# programs) and the login item may go to /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The service is started by the session bus, and the agent posts through it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "default-dbus-session-bus | dbus-session-bus")
# Without a notification server the agent's reports are lines on standard output; without the icon
# theme's index, its icon is not found.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "notification-daemon, hicolor-icon-theme")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
# Stripped programs. Their symbols stay in the build folder's copies (same build ID): CPack's -dbgsym
# package (CPACK_DEBIAN_DEBUGINFO_PACKAGE, CMake 3.25) lists build-folder paths in its md5sums and has no
# copyright file, so it is not made.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR DEB)

# The login item is a configuration file, so that a local change to it (Hidden=true) outlives an
# upgrade.
if(QUORVEL_AGENT)
    if(IS_ABSOLUTE "${QUORVEL_AUTOSTART_DIR}")
        set(_quorvel_autostart "${QUORVEL_AUTOSTART_DIR}")
    else()
        set(_quorvel_autostart "/etc/xdg/autostart")
    endif()
    file(WRITE "${PROJECT_BINARY_DIR}/debian/conffiles"
         "${_quorvel_autostart}/${QUORVEL_MAIN_BUNDLE_IDENTIFIER}.QuorvelAgent.desktop\n")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/debian/conffiles")
endif()

# The package's changelog, compressed as Debian keeps it, and its copyright file.
set(_quorvel_changelog "${PROJECT_BINARY_DIR}/debian/changelog")
add_custom_command(OUTPUT "${_quorvel_changelog}.gz"
    COMMAND ${CMAKE_COMMAND} -E copy "${PROJECT_SOURCE_DIR}/cmake/debian/changelog" "${_quorvel_changelog}"
    COMMAND "${QUORVEL_GZIP}" -9n --force "${_quorvel_changelog}"
    DEPENDS "${PROJECT_SOURCE_DIR}/cmake/debian/changelog"
    VERBATIM)
add_custom_target(package_changelog ALL DEPENDS "${_quorvel_changelog}.gz")
install(FILES "${_quorvel_changelog}.gz" "${PROJECT_SOURCE_DIR}/cmake/debian/copyright"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${CPACK_PACKAGE_NAME}")

include(CPack)
