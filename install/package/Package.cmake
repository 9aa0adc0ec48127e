# The Debian package: the three programs with their manual pages, the desktop entry and icon, the
# server's service, its settings in /etc/zelvo and the maintainer scripts that make its system
# user and data folder. Dependencies come from the programs' shared libraries (dpkg-shlibdeps).
#   cmake --build build/rel --target package   ->  build/rel/zelvo_<version>_<arch>.deb

set(ZELVO_PACKAGE_DIR ${CMAKE_CURRENT_LIST_DIR})
install(FILES ${ZELVO_PACKAGE_DIR}/zelvo.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${ZELVO_PACKAGE_DIR}/zelvo.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${ZELVO_PACKAGE_DIR}/zelvo-server.service DESTINATION lib/systemd/system)
install(FILES ${ZELVO_PACKAGE_DIR}/server.conf DESTINATION /etc/zelvo)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Manual pages and the changelog go in compressed, as Debian keeps them.
function(zelvo_gzip_install aSource aDestination)
  get_filename_component(FName ${aSource} NAME)
  set(FCopy ${CMAKE_BINARY_DIR}/package/${FName})
  configure_file(${aSource} ${FCopy} COPYONLY)
  # -n: no name or time stamp inside, so a rebuild gives the same bytes.
  execute_process(COMMAND gzip -9nc ${FCopy} OUTPUT_FILE ${FCopy}.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${FCopy}.gz DESTINATION ${aDestination})
endfunction()
foreach(FPage zelvo zelvo-cli zelvo-server)
  zelvo_gzip_install(${ZELVO_PACKAGE_DIR}/man/${FPage}.1 ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
zelvo_gzip_install(${ZELVO_PACKAGE_DIR}/changelog ${CMAKE_INSTALL_DOCDIR})
install(FILES ${ZELVO_PACKAGE_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME zelvo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelvo)
set(CPACK_PACKAGE_VERSION 1.2.0)
set(CPACK_PACKAGE_CONTACT "Zelvo developers <zelvo-dev@example.edu>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "campus cloud disk: desktop client and reference server")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Students log in with their class and name and get two drives: their own\n"
       "space and their class's shared space. The package holds the desktop client\n"
       "(zelvo), its headless front end (zelvo-cli) and the reference server\n"
       "(zelvo-server) with a systemd service.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside the libraries: fusermount3 lets students mount, passwd's useradd makes the server's user,
# Qt's translations give its own dialogs and menus Chinese texts whatever the locale (the
# interface is Chinese, and servers are installed without recommended packages).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3, passwd, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ZELVO_PACKAGE_DIR}/postinst ${ZELVO_PACKAGE_DIR}/prerm ${ZELVO_PACKAGE_DIR}/postrm
    ${ZELVO_PACKAGE_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
