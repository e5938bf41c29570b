# Installs the headers, the library, a CMake package and a pkg-config file.
# Each file belongs to one install component, and each component becomes one
# Debian package (cmake/OruPackaging.cmake): runtime (the shared library),
# window (the report window, installed by tools/report-window), dev (headers,
# the library's link name, the CMake and pkg-config files) and tools
# (orupack). The demo is left out of the packages.
include(CMakePackageConfigHelpers)

install(DIRECTORY include/oru DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/include/oru/core/export_mark.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/oru/core COMPONENT dev)
install(TARGETS oru_core EXPORT OruCoreTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT OruCoreTargets NAMESPACE OruCore::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OruCore COMPONENT dev)

configure_package_config_file(cmake/OruCoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/OruCoreConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OruCore)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/OruCoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/OruCoreConfig.cmake
              ${PROJECT_BINARY_DIR}/OruCoreConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/OruCore COMPONENT dev)

# The pkg-config file depends on the prefix installed to, known only then.
install(CODE "
  set(ORU_PC_TEMPLATE \"${PROJECT_SOURCE_DIR}/cmake/oru_core.pc.in\")
  set(ORU_PC_STAGED \"${PROJECT_BINARY_DIR}/oru_core.pc\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")" COMPONENT dev)
install(SCRIPT cmake/OruInstallPkgConfig.cmake COMPONENT dev)

include(cmake/OruPackaging.cmake)
