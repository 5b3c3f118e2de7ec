# debian_package_cpack.cmake -- read by cpack once per generator. The DEB
# generator installs only the Debian component, whose paths start at the
# root; the other generators keep the usual install.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_PEERDIR_DEB_PROJECT}")
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
endif()
