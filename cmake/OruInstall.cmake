# Installs the headers, the library, a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

install(DIRECTORY include/oru DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS oru_core EXPORT OruCoreTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT OruCoreTargets NAMESPACE OruCore::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OruCore)

configure_package_config_file(cmake/OruCoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/OruCoreConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OruCore)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/OruCoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/OruCoreConfig.cmake
              ${PROJECT_BINARY_DIR}/OruCoreConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OruCore)

configure_file(cmake/oru_core.pc.in ${PROJECT_BINARY_DIR}/oru_core.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/oru_core.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
