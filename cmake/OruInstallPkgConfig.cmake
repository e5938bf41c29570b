# Run at install time: writes the pkg-config file for the prefix installed to.
# Under /usr or /usr/local (the Debian packages, a system install) it names
# the prefix as it is and sets no run path: the dynamic linker finds the
# library there, and Debian's rules forbid run paths. Anywhere else (/opt/oru)
# it finds the prefix relative to itself and gives a run path, so that a
# program built against it runs without LD_LIBRARY_PATH.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
  set(ORU_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(ORU_PC_RPATH "")
else()
  set(ORU_PC_PREFIX "\${pcfiledir}/../..")
  set(ORU_PC_RPATH "-Wl,-rpath,\${libdir} ")
endif()
configure_file("${ORU_PC_TEMPLATE}" "${ORU_PC_STAGED}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig"
     TYPE FILE FILES "${ORU_PC_STAGED}")
