# Debian packages from the install components, made by `cpack -G DEB` in a
# build folder. Dependencies are computed from the binaries by dpkg-shlibdeps
# (Debian's dpkg-dev), and the runtime package gets a shlibs file so that
# programs built against it depend on it in turn (this version or later).
# Each package's description starts with its own one-line summary.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME oru-core)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "oru_core developers <oru-core@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime window dev tools)
# As Debian builds them: binaries stripped, their debug information in a
# -dbgsym package beside each. The debug-info packaging strips the binaries
# itself; CPACK_STRIP_FILES would strip them first and leave it nothing.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME liboru-core${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The report window pulls in GTK; a server or a game that shows no window
# does without it, so the runtime only recommends it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS oru-core-report-window)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "core service library of a game engine: runtime
The shared library (packs, logs, crash reports, resources, XML, tasks,
timing, state machines). Without oru-core-report-window, crash reports go
to standard error.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME oru-core-report-window)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_WINDOW_DESCRIPTION
  "core service library of a game engine: crash report window
The GTK window in which liboru-core shows a game's crash report and its
message boxes.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME liboru-core-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "core service library of a game engine: development files
The headers, the CMake package (find_package(OruCore)) and the pkg-config
file (oru_core).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME oru-core-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "core service library of a game engine: tools
orupack builds packs from folder trees, adds and removes entries, lists,
checks and extracts them, and mounts a pack as a read-only folder (FUSE).")

include(CPack)
