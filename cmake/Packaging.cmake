# The Debian package of both programs: `cpack -G DEB` in the release build folder. It installs under /usr
# what `cmake --install --prefix /usr` installs (the programs in /usr/libexec, the D-Bus .service file in
# /usr/share/dbus-1/services, the login item in /etc/xdg/autostart) and depends on the libraries the
# programs link, as dpkg-shlibdeps finds them.
set(CPACK_PACKAGE_NAME "quorvel-helpers")
set(CPACK_PACKAGE_VENDOR "Quorvel")
set(CPACK_PACKAGE_CONTACT "Quorvel maintainers <maintainers@quorvel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Quorvel helper programs: the job-folder agent and the action service")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_INSTALL_PREFIX "/usr")
# Install with DESTDIR, so that the install steps see the prefix /usr (Exec= names the installed
# programs) and the login item may go to /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_GENERATOR DEB)
include(CPack)
