# Compiler settings shared by every target of the project.

# Debug information in every configuration: a crash report names source
# files and lines only when the library carries them. On Windows the symbol
# handler the tests run under reads DWARF up to version 4; the compiler
# writes version 5 unless told. That handler also breaks on a type name
# longer than 2000 characters (a standard container of containers has
# one): structures are described in full only where their own source file
# is compiled, which keeps most such types out of a program's own files.
if(ORU_PLATFORM STREQUAL "windows")
  add_compile_options(-gdwarf-4 -femit-struct-debug-reduced)
  # A CodeView record with a unique id in every module, which a crash
  # report's module list shows as the build ID.
  add_link_options(-Wl,--build-id)
else()
  add_compile_options(-g)
endif()

set(ORU_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
    -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wnull-dereference
    -Wformat=2 -Wimplicit-fallthrough)
if(ORU_WERROR)
  list(APPEND ORU_WARNINGS -Werror)
endif()

# Windows headers: the common part of <windows.h> only; a file that needs
# more includes it itself. (libstdc++ already keeps min and max out.)
if(ORU_PLATFORM STREQUAL "windows")
  add_compile_definitions(WIN32_LEAN_AND_MEAN)
endif()

# Applies the project's warnings to one of our own targets (not to peers).
function(oru_warnings target)
  target_compile_options(${target} PRIVATE ${ORU_WARNINGS})
endfunction()

if(ORU_SANITIZE)
  set(ORU_SANITIZE_FLAGS -fsanitize=${ORU_SANITIZE} -fno-omit-frame-pointer)
  if(ORU_SANITIZE MATCHES "undefined")
    list(APPEND ORU_SANITIZE_FLAGS -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${ORU_SANITIZE_FLAGS})
  add_link_options(${ORU_SANITIZE_FLAGS})
endif()

if(ORU_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
