# Every outside library the project uses, found once here.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)

# The platform layer's own libraries: stack walking and symbols for crash
# reports.
if(ORU_PLATFORM STREQUAL "linux")
  pkg_check_modules(LIBUNWIND REQUIRED IMPORTED_TARGET libunwind)
  pkg_check_modules(LIBDW REQUIRED IMPORTED_TARGET libdw)
  set(ORU_PLATFORM_LIBS PkgConfig::LIBUNWIND PkgConfig::LIBDW ${CMAKE_DL_LIBS})
endif()
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
# Header-only, used inside the library's sources only: nothing of it reaches
# the installed headers or the link interface.
find_package(Boost 1.81 REQUIRED CONFIG COMPONENTS headers)

if(ORU_BUILD_TOOLS)
  pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
endif()
# TinyXML is the peer the XML cursor is measured and compared against.
if(ORU_BUILD_TESTS OR ORU_BUILD_BENCH)
  pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml)
endif()
if(ORU_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  find_package(nlohmann_json 3 REQUIRED)  # the tests read the library's JSON exports with it
endif()
if(ORU_BUILD_BENCH)
  find_package(benchmark REQUIRED)
  pkg_check_modules(PHYSFS REQUIRED IMPORTED_TARGET physfs)
  find_package(spdlog REQUIRED)
endif()
