# Install rules and the CMake package: find_package(zelk_compiler CONFIG)
# gives the target zelk::compiler.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS zelk_compiler
  EXPORT zelk_compilerTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/crates/zelk-compiler/include/zelk_compiler
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(ZELK_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zelk_compiler)
install(EXPORT zelk_compilerTargets
  NAMESPACE zelk::
  DESTINATION ${ZELK_PACKAGE_DIR})

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/zelk_compilerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zelk_compilerConfig.cmake
  INSTALL_DESTINATION ${ZELK_PACKAGE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/zelk_compilerConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zelk_compilerConfig.cmake
  ${PROJECT_BINARY_DIR}/zelk_compilerConfigVersion.cmake
  DESTINATION ${ZELK_PACKAGE_DIR})
