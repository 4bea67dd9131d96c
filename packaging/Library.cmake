# The library for other programs: libquenlo.so.0 (package libquenlo0) and,
# for building against it, its headers, CMake package and pkg-config file
# (libquenlo-dev). Both are relocatable: they find their files relative to
# where they are installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_lib ${CMAKE_BINARY_DIR}/packaging/library)
install(TARGETS libquenlo EXPORT QuenloTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libquenlo0 NAMELINK_COMPONENT libquenlo-dev)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/quenlo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libquenlo-dev)
install(EXPORT QuenloTargets NAMESPACE Quenlo:: FILE QuenloTargets.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quenlo COMPONENT libquenlo-dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QuenloConfig.cmake.in ${_lib}/QuenloConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quenlo)
# While the version starts with 0, a new minor version may break the interface.
write_basic_package_version_file(${_lib}/QuenloConfigVersion.cmake VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES ${_lib}/QuenloConfig.cmake ${_lib}/QuenloConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Quenlo COMPONENT libquenlo-dev)
# The prefix as a path from the .pc file's own folder.
file(RELATIVE_PATH QUENLO_PC_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${CMAKE_CURRENT_LIST_DIR}/quenlo.pc.in ${_lib}/quenlo.pc @ONLY)
install(FILES ${_lib}/quenlo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT libquenlo-dev)
