# What a user installs: tavren-pack (the launcher stub inside it), the CMake package config,
# the README and the licences; `make package` turns it into the Debian package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Tavren)
configure_file(${CMAKE_SOURCE_DIR}/cmake/TavrenConfig.cmake.in ${CMAKE_BINARY_DIR}/TavrenConfig.cmake @ONLY)
# The packer runs on the build machine whatever the application's architecture.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TavrenConfigVersion.cmake
  COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/TavrenConfig.cmake ${CMAKE_BINARY_DIR}/TavrenConfigVersion.cmake
  ${CMAKE_SOURCE_DIR}/cmake/tavren_add_onefile.cmake DESTINATION ${config_dir})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tavren-pack)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavren-pack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Packs a Windows application folder into one self-unpacking executable")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_SOURCE_DIR}/out/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tavren Onefile developers")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "osslsigncode, cmake, g++-mingw-w64-x86-64-posix")
include(CPack)
