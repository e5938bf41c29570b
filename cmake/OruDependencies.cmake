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
else()
  set(ORU_PLATFORM_LIBS dbghelp psapi version comdlg32 user32 gdi32 advapi32 shell32)
endif()
pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
# Header-only, used inside the library's sources only: nothing of it reaches
# the installed headers or the link interface.
if(ORU_PLATFORM STREQUAL "linux")
  find_package(Boost 1.81 REQUIRED CONFIG COMPONENTS headers)
else()
  # No Windows build of Boost to find: its header-only part serves any
  # system as it is, from wherever the headers are.
  find_path(ORU_BOOST_INCLUDE boost/unordered/unordered_flat_map.hpp REQUIRED)
  add_library(Boost::headers INTERFACE IMPORTED)
  target_include_directories(Boost::headers INTERFACE ${ORU_BOOST_INCLUDE})
endif()

# The report window is a GTK program on Linux; elsewhere the library shows
# its own.
if(ORU_BUILD_TOOLS AND ORU_PLATFORM STREQUAL "linux")
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
