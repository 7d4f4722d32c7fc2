# Installs the headers, the shared library, a CMake package (find_package(Tarvos) -> Tarvos::tarvos)
# and a pkg-config file.
include(CMakePackageConfigHelpers)

install(DIRECTORY public_include/Tarvos DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS tarvos EXPORT TarvosTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT TarvosTargets NAMESPACE Tarvos:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvos)

configure_package_config_file(cmake/TarvosConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/TarvosConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvos)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TarvosConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TarvosConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/TarvosConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvos)

configure_file(cmake/tarvos.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvos.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvos.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES LICENSE CHANGELOG.md README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
