# Shared part of the MinGW-w64 toolchain files. The including file sets
# TAVOCTL_MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) and
# CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

# Debian ships two flavours of each compiler, -posix and -win32, and points
# the plain name at one of them. Either will do: the DLL links its runtime
# statically and starts no thread. Prefer -posix, which is what we test with.
foreach(_flavour posix win32 "")
  if(_flavour STREQUAL "")
    set(_suffix "")
  else()
    set(_suffix "-${_flavour}")
  endif()
  find_program(_tavoctl_gxx ${TAVOCTL_MINGW_TRIPLE}-g++${_suffix} NO_CACHE)
  find_program(_tavoctl_gcc ${TAVOCTL_MINGW_TRIPLE}-gcc${_suffix} NO_CACHE)
  if(_tavoctl_gxx AND _tavoctl_gcc)
    break()
  endif()
  unset(_tavoctl_gxx)
  unset(_tavoctl_gcc)
endforeach()
if(NOT _tavoctl_gxx OR NOT _tavoctl_gcc)
  message(FATAL_ERROR
    "${TAVOCTL_MINGW_TRIPLE}-g++ not found; install g++-mingw-w64 "
    "(Debian: g++-mingw-w64-i686-posix, g++-mingw-w64-x86-64-posix)")
endif()

set(CMAKE_C_COMPILER ${_tavoctl_gcc})
set(CMAKE_CXX_COMPILER ${_tavoctl_gxx})
set(CMAKE_RC_COMPILER ${TAVOCTL_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${TAVOCTL_MINGW_TRIPLE}-dlltool)
set(CMAKE_AR ${TAVOCTL_MINGW_TRIPLE}-ar)
set(CMAKE_RANLIB ${TAVOCTL_MINGW_TRIPLE}-ranlib)
set(CMAKE_OBJDUMP ${TAVOCTL_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVOCTL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built for Windows (tools, test drivers) run under wine here.
find_program(_tavoctl_wine NAMES wine wine64 PATHS /usr/lib/wine NO_CACHE)
if(_tavoctl_wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_tavoctl_wine})
endif()
