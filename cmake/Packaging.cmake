# The Debian package: scripts/package runs cpack on a configured build and
# leaves <build>/remessa_<version>_<arch>.deb. It holds what `cmake --install`
# installs, under /usr.
# cpack installs what is built and does not build the tests first;
# scripts/package builds the installed targets.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME remessa)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "remessa maintainers <remessa@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fetch a file from the company's FTP server or send one there")
set(CPACK_PACKAGE_DESCRIPTION "The window REMESSA DADOS downloads one file from a company's folder on
the FTP server into the working folder (resuming a partial copy) or uploads
it there; behind it sits a complete interactive FTP client window.
ftpxfer runs the same FTP client from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/_CPack_Packages)

# <name>_<version>_<architecture>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link come from dpkg-shlibdeps; it cannot see
# what Qt loads at run time (the platform plugins) nor the faces the windows
# are laid out for (Liberation Sans and Mono, metric-compatible with the
# faces of the design).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2")

include(CPack)
