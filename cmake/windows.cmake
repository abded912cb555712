# tavoctl.dll: the library objects, the DLL entry point and a version
# resource, linked so that
#   - the exports are exactly those of src/api/tavoctl.def: the twenty TAVO_
#     functions at ordinals 1-20 under their plain names;
#   - FTD2XX.DLL is imported by ordinal only, through an import library made
#     here from src/api/ftd2xx.def;
#   - no MinGW runtime DLL is needed: libgcc, libstdc++ and winpthread are
#     linked in, so the DLL imports only Windows system DLLs and FTD2XX.DLL.
# scripts/check-dll.py verifies all of this on the built DLL.

enable_language(RC)

set(TAVOCTL_API_DIR ${CMAKE_CURRENT_SOURCE_DIR}/src/api)
set(TAVOCTL_WIN_DIR ${CMAKE_CURRENT_BINARY_DIR}/windows)
file(MAKE_DIRECTORY ${TAVOCTL_WIN_DIR})

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(TAVOCTL_WIN_ARCH i686)
  set(TAVOCTL_DLLTOOL_MACHINE i386)
else()
  set(TAVOCTL_WIN_ARCH x86_64)
  set(TAVOCTL_DLLTOOL_MACHINE i386:x86-64)
endif()

if(NOT CMAKE_DLLTOOL)
  # i686-w64-mingw32-g++-posix -> i686-w64-mingw32-dlltool
  get_filename_component(_cxx ${CMAKE_CXX_COMPILER} NAME)
  string(REGEX REPLACE "g\\+\\+(-posix|-win32)?(\\.exe)?$" "dlltool" _dlltool
                       "${_cxx}")
  find_program(CMAKE_DLLTOOL NAMES ${_dlltool} dlltool REQUIRED)
endif()

# The .def files in src/api carry the 32-bit __stdcall decoration (@N, the
# size of the arguments). This writes the variant for the architecture being
# built: as it is for i686, without the decoration for x86_64.
function(tavoctl_arch_def source output)
  file(READ ${source} text)
  if(NOT TAVOCTL_WIN_ARCH STREQUAL "i686")
    string(REGEX REPLACE "([A-Za-z0-9_])@[0-9]+" "\\1" text "${text}")
  endif()
  file(WRITE ${output}.tmp "${text}")
  configure_file(${output}.tmp ${output} COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

# ------------------------------------------------- FTD2XX.DLL, by ordinal
# Also available to providers that build a stand-in FTD2XX.DLL with the same
# ordinals (for example to run the DLL under wine).
set(TAVOCTL_FTD2XX_DEF ${TAVOCTL_WIN_DIR}/ftd2xx.def)
set(TAVOCTL_FTD2XX_IMPLIB ${TAVOCTL_WIN_DIR}/libftd2xx.a)
tavoctl_arch_def(${TAVOCTL_API_DIR}/ftd2xx.def ${TAVOCTL_FTD2XX_DEF})

add_custom_command(
  OUTPUT ${TAVOCTL_FTD2XX_IMPLIB}
  COMMAND ${CMAKE_DLLTOOL} --machine ${TAVOCTL_DLLTOOL_MACHINE}
          --input-def ${TAVOCTL_FTD2XX_DEF}
          --output-lib ${TAVOCTL_FTD2XX_IMPLIB}
  DEPENDS ${TAVOCTL_FTD2XX_DEF}
  COMMENT "Making the FTD2XX.DLL import library (by ordinal)"
  VERBATIM)
add_custom_target(tavoctl_ftd2xx_implib DEPENDS ${TAVOCTL_FTD2XX_IMPLIB})

add_library(tavoctl_ftd2xx STATIC IMPORTED GLOBAL)
set_target_properties(tavoctl_ftd2xx PROPERTIES IMPORTED_LOCATION
                                        ${TAVOCTL_FTD2XX_IMPLIB})
add_dependencies(tavoctl_ftd2xx tavoctl_ftd2xx_implib)

# ------------------------------------------------------------ tavoctl.dll
set(TAVOCTL_DEF ${TAVOCTL_WIN_DIR}/tavoctl.def)
tavoctl_arch_def(${TAVOCTL_API_DIR}/tavoctl.def ${TAVOCTL_DEF})

configure_file(${TAVOCTL_API_DIR}/version.rc.in
               ${TAVOCTL_WIN_DIR}/version.rc @ONLY)

add_library(tavoctl SHARED
  $<TARGET_OBJECTS:tavoctl_objs>
  ${TAVOCTL_API_DIR}/dllmain.cpp
  ${TAVOCTL_WIN_DIR}/version.rc
  ${TAVOCTL_DEF}
)
target_include_directories(tavoctl
  PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
  PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_compile_definitions(tavoctl PRIVATE TAVOCTL_BUILD)
target_compile_options(tavoctl PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${TAVOCTL_WARNINGS} -fno-exceptions -fno-rtti>)
target_link_libraries(tavoctl PRIVATE tavoctl_ftd2xx tavoctl_d2xx)

# tavoctl.dll with libtavoctl.dll.a as its import library (the default
# "lib" prefix would also land on the DLL).
set_target_properties(tavoctl PROPERTIES
  PREFIX ""
  IMPORT_PREFIX "lib"
  OUTPUT_NAME tavoctl
  LINK_DEPENDS "${TAVOCTL_DEF};${TAVOCTL_FTD2XX_IMPLIB}")

target_link_options(tavoctl PRIVATE
  # No MinGW runtime DLL beside ours: the C++ runtime, libgcc and winpthread
  # are linked in.
  -static -static-libgcc -static-libstdc++
  # Every symbol a DLL needs must be resolved at link time.
  -Wl,--no-undefined
  # The same sources give the same DLL.
  -Wl,--no-insert-timestamp)
if(TAVOCTL_WIN_ARCH STREQUAL "i686")
  # Exports under their plain names: TAVO_Open, not TAVO_Open@4.
  target_link_options(tavoctl PRIVATE -Wl,--kill-at)
  # The linker's import library would now offer _TAVO_Open where a caller
  # compiled against tavoctl.h looks for _TAVO_Open@4. Replace it with one
  # that has the decorated symbols and imports the plain names.
  add_custom_command(TARGET tavoctl POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --machine ${TAVOCTL_DLLTOOL_MACHINE}
            --input-def ${TAVOCTL_DEF} --dllname tavoctl.dll --kill-at
            --output-lib $<TARGET_LINKER_FILE_NAME:tavoctl>
    WORKING_DIRECTORY $<TARGET_LINKER_FILE_DIR:tavoctl>
    COMMENT "Making the tavoctl.dll import library for __stdcall callers"
    VERBATIM)
endif()

# ------------------------------------------------------------- shipping
# Every build but Debug ships tavoctl.dll stripped of its symbol table and
# debug sections (a tenth of the size). The DLL as linked stays beside it as
# tavoctl.dll.debug: the same image with its symbols, for a debugger (load
# it in place of the shipped one) and for the calling-convention check of
# scripts/check-dll.py, which also fails a shipped DLL above 64 KiB.
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  if(NOT CMAKE_STRIP)
    message(FATAL_ERROR "no strip for ${TAVOCTL_WIN_ARCH} (binutils-mingw-w64)")
  endif()
  add_custom_command(TARGET tavoctl POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tavoctl>
            $<TARGET_FILE:tavoctl>.debug
    COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:tavoctl>
    COMMENT "Stripping tavoctl.dll (as linked: tavoctl.dll.debug)"
    VERBATIM)
endif()
