# debian_package.cmake -- the Debian package that `make dist` writes beside
# the .tar.gz: the programs, the configuration under /etc, the README and a
# systemd unit. Included just before CPack, on Linux only.
#
# The package has a layout of its own (/etc, /lib/systemd), so its files are
# installed as a component of their own, excluded from everything else:
# `cmake --install` and the .tar.gz keep the usual layout and never see it.
# At cpack time debian_package_cpack.cmake points the DEB generator at that
# component alone.
if(WIN32)
  return()
endif()

set(PEERDIR_DEB_COMPONENT debian)
set(PEERDIR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

# Relative to /, the package's own root.
install(TARGETS peerdir peerdir-client RUNTIME DESTINATION usr/bin
        COMPONENT ${PEERDIR_DEB_COMPONENT} EXCLUDE_FROM_ALL)
install(FILES config.txt DESTINATION etc/peerdir
        COMPONENT ${PEERDIR_DEB_COMPONENT} EXCLUDE_FROM_ALL)
install(FILES ${PEERDIR_PACKAGING_DIR}/peerdir.default DESTINATION etc/default RENAME peerdir
        COMPONENT ${PEERDIR_DEB_COMPONENT} EXCLUDE_FROM_ALL)
install(FILES README.md DESTINATION usr/share/doc/peerdir
        COMPONENT ${PEERDIR_DEB_COMPONENT} EXCLUDE_FROM_ALL)
install(FILES ${PEERDIR_PACKAGING_DIR}/peerdir.service DESTINATION lib/systemd/system
        COMPONENT ${PEERDIR_DEB_COMPONENT} EXCLUDE_FROM_ALL)

list(APPEND CPACK_GENERATOR DEB)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/debian_package_cpack.cmake)
# Read by debian_package_cpack.cmake: CPack copies every CPACK_ variable into
# its configuration.
set(CPACK_PEERDIR_DEB_PROJECT "${CMAKE_BINARY_DIR};${PROJECT_NAME};${PEERDIR_DEB_COMPONENT};/")

set(CPACK_DEBIAN_PACKAGE_NAME peerdir)
# peerdir_1.0.0_amd64.deb, the name Debian's tools give a package.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "peerdir maintainers")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
Clients register names, list them, and ask the server to pass a connection
request (address and port) to the client registered under a name. The
registry lives in memory. With the command-line client and a systemd unit.
The protocol has no authentication: serve only networks you trust.")
# Depends lists the shared libraries the binaries really load, as
# dpkg-shlibdeps finds them, not a list kept by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# CPack marks nothing under /etc as a configuration file by itself; listed
# there, dpkg keeps an operator's edits across upgrades.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PEERDIR_PACKAGING_DIR}/conffiles
    ${PEERDIR_PACKAGING_DIR}/postinst
    ${PEERDIR_PACKAGING_DIR}/prerm
    ${PEERDIR_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
