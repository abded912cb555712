# The version lives in the project() line; include/tavoctl.h repeats it in
# TAVOCTL_VERSION_* for applications that compile against it, and the build
# stops when the two differ, so a release cannot ship a header that names
# another version than its soname, VERSIONINFO and packages.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/tavoctl.h _tavoctl_version_lines
     REGEX "^#define TAVOCTL_VERSION_(MAJOR|MINOR|PATCH|STRING) ")
set(_tavoctl_header_version "")
foreach(_part MAJOR MINOR PATCH STRING)
  set(_value "")
  foreach(_line IN LISTS _tavoctl_version_lines)
    if(_line MATCHES "^#define TAVOCTL_VERSION_${_part} \"?([0-9.]+)\"?$")
      set(_value ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(_tavoctl_header_${_part} "${_value}")
endforeach()
set(_from_parts
    "${_tavoctl_header_MAJOR}.${_tavoctl_header_MINOR}.${_tavoctl_header_PATCH}")
if(NOT _from_parts STREQUAL PROJECT_VERSION OR
   NOT _tavoctl_header_STRING STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR
    "include/tavoctl.h names version ${_from_parts} "
    "(\"${_tavoctl_header_STRING}\"), the project() line ${PROJECT_VERSION}: "
    "change both together")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/include/tavoctl.h)
