# What `cmake --install` puts where (Linux), the CMake package and the
# pkg-config files that tell an application what to link, and the Debian
# packages that CPack makes from the same install:
#
#   libtavoctl1     lib/libtavoctl.so.1*, the D2XX providers, the udev rule
#   libtavoctl-dev  include/ (tavoctl.h, tavoctl_text.h, the providers'
#                   headers), lib/libtavoctl.so, lib/cmake/tavoctl,
#                   lib/pkgconfig, share/tavoctl/result-codes.tsv, the docs
#   tavoctl-tools   bin/tavo
#
# each with the licence as share/doc/PACKAGE/copyright. On Windows the same
# install, with the tool, the virtual unit and the bindings, is a zip
# (cmake/windows-package.cmake).
#
# libtavoctl.so leaves the D2XX functions (FT_*) undefined: an application
# links one provider beside it, and each provider's package target and .pc
# file bring the library along. The providers: the virtual unit
# (tavoctl::virtual, tavoctl-virtual.pc) and every shared library built
# under drivers/NAME (tavoctl::NAME, tavoctl-NAME.pc).
if(WIN32)
  # Windows: what an application's developer needs beside tavoctl.dll: the
  # header, the module-definition file and an import library for MSVC
  # (tavoctl.lib) besides MinGW's libtavoctl.dll.a. On 32-bit Windows the
  # import library maps the __stdcall names a caller compiled against
  # tavoctl.h uses (_TAVO_Open@4) to the DLL's plain export names.
  # llvm-dlltool writes the short import format of Microsoft's own lib.exe;
  # binutils' dlltool does where it is missing.
  find_program(TAVOCTL_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  set(_implib ${TAVOCTL_WIN_DIR}/tavoctl.lib)
  if(TAVOCTL_LLVM_DLLTOOL)
    set(_machine $<IF:$<STREQUAL:${TAVOCTL_WIN_ARCH},i686>,i386,i386:x86-64>)
    set(_make_implib ${TAVOCTL_LLVM_DLLTOOL} -m ${_machine} -d ${TAVOCTL_DEF}
        -D tavoctl.dll -l ${_implib} $<$<STREQUAL:${TAVOCTL_WIN_ARCH},i686>:-k>)
  else()
    set(_make_implib ${CMAKE_DLLTOOL} --machine ${TAVOCTL_DLLTOOL_MACHINE}
        --input-def ${TAVOCTL_DEF} --dllname tavoctl.dll
        $<$<STREQUAL:${TAVOCTL_WIN_ARCH},i686>:--kill-at> --output-lib ${_implib})
  endif()
  add_custom_command(OUTPUT ${_implib}
    COMMAND ${_make_implib}
    DEPENDS ${TAVOCTL_DEF}
    COMMENT "Making tavoctl.lib, the import library for MSVC"
    VERBATIM)
  add_custom_target(tavoctl_msvc_implib ALL DEPENDS ${_implib})

  install(TARGETS tavoctl RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
  install(FILES ${_implib} ${TAVOCTL_DEF} DESTINATION lib)
  install(FILES ${PROJECT_SOURCE_DIR}/include/tavoctl.h
  ${PROJECT_SOURCE_DIR}/include/tavoctl_change.h ${TAVOCTL_TEXT_H}
    DESTINATION include)
  include(${CMAKE_CURRENT_LIST_DIR}/windows-package.cmake)
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TAVOCTL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavoctl)
set(TAVOCTL_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(TAVOCTL_GEN ${PROJECT_BINARY_DIR}/package)

# ---------------------------------------------------------- the library
install(TARGETS tavoctl
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT dev)
# A Release install ships the library stripped of its symbol table, as the
# Windows DLL ships; the unstripped one stays in the build tree.
if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$" AND CMAKE_STRIP)
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:tavoctl>\"
    COMMAND_ERROR_IS_FATAL ANY)" COMPONENT runtime)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/include/tavoctl.h
  ${PROJECT_SOURCE_DIR}/include/tavoctl_change.h ${TAVOCTL_TEXT_H}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES ${TAVOCTL_RESULT_CODES}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tavoctl COMPONENT dev)
file(GLOB _docs ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${_docs}
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)

# ------------------------------------------------------- the providers
# pkg-config files find the prefix from their own place, so the tree can be
# moved (a scratch prefix, a `dpkg -x` root).
file(RELATIVE_PATH TAVOCTL_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${TAVOCTL_PC_DIR}
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TAVOCTL_PC_TO_PREFIX "${TAVOCTL_PC_TO_PREFIX}")
# NAME;TARGET;HEADER, one provider after the other.
set(_providers)
if(TARGET tavovu)
  list(APPEND _providers virtual tavovu ${PROJECT_SOURCE_DIR}/sim/tavovu.h)
endif()
get_property(_subdirs DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTY SUBDIRECTORIES)
foreach(_dir IN LISTS _subdirs)
  if(NOT _dir MATCHES "/drivers/([^/]+)$")
    continue()
  endif()
  set(_name ${CMAKE_MATCH_1})
  get_property(_targets DIRECTORY ${_dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(_target IN LISTS _targets)
    get_target_property(_type ${_target} TYPE)
    if(_type STREQUAL "SHARED_LIBRARY")
      list(APPEND _providers ${_name} ${_target} ${_dir}/${_target}.h)
    endif()
  endforeach()
endforeach()

# The package config's and the pkg-config files' parts, per provider.
set(TAVOCTL_PROVIDER_NAMES)
set(TAVOCTL_PROVIDER_TARGETS "")
while(_providers)
  list(POP_FRONT _providers _name _target _header)
  list(APPEND TAVOCTL_PROVIDER_NAMES ${_name})
  install(TARGETS ${_target}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
  if(EXISTS ${_header})
    install(FILES ${_header}
      DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  endif()
  set(_file ${CMAKE_SHARED_LIBRARY_PREFIX}${_target}${CMAKE_SHARED_LIBRARY_SUFFIX})
  # The library first and the provider after it on the link line (see
  # tavoctlConfig.cmake.in).
  string(APPEND TAVOCTL_PROVIDER_TARGETS "
  add_library(tavoctl::${_name} INTERFACE IMPORTED)
  set_target_properties(tavoctl::${_name} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES \"\${_tavoctl_includedir}\"
    INTERFACE_LINK_LIBRARIES \"tavoctl::tavoctl;\${_tavoctl_libdir}/${_file}\")
")
  set(TAVOCTL_PROVIDER_NAME ${_name})
  set(TAVOCTL_PROVIDER_LIB ${_target})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/tavoctl-provider.pc.in
    ${TAVOCTL_GEN}/tavoctl-${_name}.pc @ONLY)
  install(FILES ${TAVOCTL_GEN}/tavoctl-${_name}.pc
    DESTINATION ${TAVOCTL_PC_DIR} COMPONENT dev)
endwhile()

# What the real-unit providers offer beside the FT_* functions.
if(EXISTS ${PROJECT_SOURCE_DIR}/drivers/tavobridges.h)
  install(FILES ${PROJECT_SOURCE_DIR}/drivers/tavobridges.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
endif()

# The udev rules that the providers ship (access to the bridge's device
# nodes for a non-root application).
file(GLOB _rules ${PROJECT_SOURCE_DIR}/drivers/*/*.rules
  ${PROJECT_SOURCE_DIR}/packaging/udev/*.rules)
if(_rules)
  install(FILES ${_rules} DESTINATION lib/udev/rules.d COMPONENT runtime)
endif()

# ---------------------------------------------------------- the licence
# Where Debian keeps each package's licence: share/doc/PACKAGE/copyright.
get_target_property(_soversion tavoctl SOVERSION)
foreach(_component_package runtime:libtavoctl${_soversion} dev:libtavoctl-dev
        tools:tavoctl-tools)
  string(REPLACE ":" ";" _pair ${_component_package})
  list(GET _pair 0 _component)
  list(GET _pair 1 _package)
  if(_component STREQUAL "tools" AND NOT TARGET tavo)
    continue()
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_package}
    RENAME copyright COMPONENT ${_component})
endforeach()

# ------------------------------------------------------------ the tool
if(TARGET tavo)
  # The installed tool finds the library and the virtual unit in ../lib.
  file(RELATIVE_PATH _lib_from_bin ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(tavo PROPERTIES INSTALL_RPATH "$ORIGIN/${_lib_from_bin}")
  install(TARGETS tavo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT tools)
endif()

# ------------------------------------- CMake package and pkg-config files
get_target_property(_soversion tavoctl SOVERSION)
set(TAVOCTL_LIB_FILE
  ${CMAKE_SHARED_LIBRARY_PREFIX}tavoctl${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION})
set(TAVOCTL_LIB_SONAME
  ${CMAKE_SHARED_LIBRARY_PREFIX}tavoctl${CMAKE_SHARED_LIBRARY_SUFFIX}.${_soversion})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tavoctlConfig.cmake.in
  ${TAVOCTL_GEN}/tavoctlConfig.cmake
  INSTALL_DESTINATION ${TAVOCTL_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${TAVOCTL_GEN}/tavoctlConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${TAVOCTL_GEN}/tavoctlConfig.cmake
              ${TAVOCTL_GEN}/tavoctlConfigVersion.cmake
  DESTINATION ${TAVOCTL_CMAKE_DIR} COMPONENT dev)

string(JOIN ", " TAVOCTL_PROVIDER_LIST ${TAVOCTL_PROVIDER_NAMES})
configure_file(${PROJECT_SOURCE_DIR}/cmake/tavoctl.pc.in
  ${TAVOCTL_GEN}/tavoctl.pc @ONLY)
install(FILES ${TAVOCTL_GEN}/tavoctl.pc DESTINATION ${TAVOCTL_PC_DIR}
  COMPONENT dev)

# ------------------------------------------------------ Debian packages
set(CPACK_PACKAGE_NAME tavoctl)
set(CPACK_PACKAGE_VENDOR "tavoctl")
set(CPACK_PACKAGE_CONTACT "tavoctl maintainers <tavoctl@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: each package's description below
# starts with its own summary line.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtavoctl${_soversion})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
if(TARGET tavoftdi)
  # The user-space USB provider links libftdi1 and libusb-1.0.
  string(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS ", libftdi1-2, libusb-1.0-0")
endif()
# A shlibs file for the versioned library, and ldconfig after (un)install.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtavoctl-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tavoctl-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "driver library for one TAVO cash payment unit, with its D2XX providers
libtavoctl.so drives a TAVO payment unit (coin unit, note unit, display,
buzzer) over a USB-serial bridge through the D2XX API. Beside it the D2XX
providers: the virtual unit (libtavovu.so) and those for real units.")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "driver library for one TAVO cash payment unit - development files
tavoctl.h, tavoctl_text.h (every result code in words and what to do
next), tavoctl_change.h (the change rule the library pays by), the CMake
package (find_package(tavoctl CONFIG)), the pkg-config files and the table
of result codes.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "driver library for one TAVO cash payment unit - the tavo tool
tavo sells, shows the unit's records and the result codes, and drives the
display and buzzer of a TAVO payment unit or of the virtual unit.")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
include(CPack)
