# The Debian package: the three programs, the desktop entry and icon, the server's service, its
# settings in /etc/zelvo and the maintainer scripts that make its system user and data folder.
#   cmake --build build/rel --target package   ->  build/rel/zelvo_<version>_<arch>.deb

set(ZELVO_PACKAGE_DIR ${CMAKE_CURRENT_LIST_DIR})
install(FILES ${ZELVO_PACKAGE_DIR}/zelvo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${ZELVO_PACKAGE_DIR}/zelvo.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${ZELVO_PACKAGE_DIR}/zelvo-server.service DESTINATION lib/systemd/system)
install(FILES ${ZELVO_PACKAGE_DIR}/server.conf DESTINATION /etc/zelvo)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelvo)
set(CPACK_PACKAGE_VERSION 1.2.0)
set(CPACK_PACKAGE_CONTACT "Zelvo developers <zelvo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "campus cloud disk: desktop client and reference server")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Students log in with their class and name and get two drives: their own space and their "
       "class's shared space. The package holds the desktop client (zelvo), its headless front "
       "end (zelvo-cli) and the reference server (zelvo-server) with a systemd service.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside the libraries: fusermount3 lets students mount, passwd's useradd makes the server's user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3, passwd")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ZELVO_PACKAGE_DIR}/postinst ${ZELVO_PACKAGE_DIR}/prerm ${ZELVO_PACKAGE_DIR}/postrm
    ${ZELVO_PACKAGE_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
