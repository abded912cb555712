# The Windows zip, one per architecture (cpack --config
# build/win64/CPackConfig.cmake): what a Windows developer needs without a
# Linux machine to build on. Beside what install.cmake installs (bin/
# tavoctl.dll, lib/ tavoctl.lib, libtavoctl.dll.a and tavoctl.def,
# include/):
#   bin/tavo.exe, bin/virtual-unit/FTD2XX.DLL   the tool, and the virtual
#       unit in a folder of its own, as in the build (tavo.exe loads it from
#       there; never beside tavoctl.dll, where Windows would prefer it to
#       the vendor's driver)
#   python/tavoctl-VERSION-py3-none-any.whl     the Python binding
#   dotnet/Tavoctl.cs, ResultCodes.cs           the C# binding's sources
#   README.txt, LICENSE.txt
# scripts/check-install.sh --zip checks the contents, scripts/wine-e2e.sh
# and check-msvc-consumer.sh run them under wine.

if(TAVOCTL_WIN_ARCH STREQUAL "i686")
  set(TAVOCTL_ARCH win32)
  set(TAVOCTL_BITS 32)
  set(TAVOCTL_STDCALL_NOTE "\n           The exports are __stdcall, as tavoctl.h declares them.")
else()
  set(TAVOCTL_ARCH win64)
  set(TAVOCTL_BITS 64)
  set(TAVOCTL_STDCALL_NOTE "")
endif()
set(TAVOCTL_VERSION ${PROJECT_VERSION})

# The tool and the virtual unit, stripped as tavoctl.dll is (their symbols
# stay in the build tree).
set(_strip_files)
if(TARGET tavo)
  install(TARGETS tavo RUNTIME DESTINATION bin)
  list(APPEND _strip_files bin/$<TARGET_FILE_NAME:tavo>)
endif()
if(TARGET tavovu)
  # As a file: install(TARGETS) would also ship the provider's import
  # library, which no application links.
  install(FILES $<TARGET_FILE:tavovu> DESTINATION bin/virtual-unit)
  list(APPEND _strip_files bin/virtual-unit/$<TARGET_FILE_NAME:tavovu>)
endif()
if(NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  foreach(_file IN LISTS _strip_files)
    install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-all
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_file}\"
      COMMAND_ERROR_IS_FATAL ANY)")
  endforeach()
endif()

# ------------------------------------------------------------ the bindings
find_package(Python3 REQUIRED COMPONENTS Interpreter)
# C#: the P/Invoke source and its table of codes, generated as for Mono.
set(_result_codes_cs ${PROJECT_BINARY_DIR}/dotnet/ResultCodes.cs)
add_custom_command(OUTPUT ${_result_codes_cs}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/dotnet
  COMMAND Python3::Interpreter ${TAVOCTL_RESULT_CODES_PY}
          ${TAVOCTL_RESULT_CODES} --csharp ${_result_codes_cs}
  DEPENDS ${TAVOCTL_RESULT_CODES} ${TAVOCTL_RESULT_CODES_PY}
  COMMENT "Generating ResultCodes.cs from data/result-codes.tsv"
  VERBATIM)
add_custom_target(tavoctl_csharp ALL DEPENDS ${_result_codes_cs})
install(FILES ${PROJECT_SOURCE_DIR}/bindings/dotnet/Tavoctl.cs
              ${_result_codes_cs} DESTINATION dotnet)

# Python: the wheel, built as on Linux (python3 -m build, offline) from a
# copy of the binding, the table and the licence laid out as in the
# repository, so that the source tree is not written to. The interpreter
# must have build, setuptools and wheel (Debian python3-build); the first of
# the one CMake found and Debian's that has them builds it.
set(_wheel_python "")
foreach(_python ${Python3_EXECUTABLE} /usr/bin/python3)
  execute_process(COMMAND ${_python} -c "import build, setuptools, wheel"
    RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
  if(_rc EQUAL 0)
    set(_wheel_python ${_python})
    break()
  endif()
endforeach()
if(_wheel_python)
  set(_stage ${PROJECT_BINARY_DIR}/python/source)
  set(_wheel
    ${PROJECT_BINARY_DIR}/python/tavoctl-${PROJECT_VERSION}-py3-none-any.whl)
  file(GLOB _python_project LIST_DIRECTORIES false CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/bindings/python/setup.py
    ${PROJECT_SOURCE_DIR}/bindings/python/pyproject.toml
    ${PROJECT_SOURCE_DIR}/bindings/python/README.md)
  file(GLOB _python_package LIST_DIRECTORIES false CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/bindings/python/tavoctl/*.py
    ${PROJECT_SOURCE_DIR}/bindings/python/tavoctl/py.typed)
  set(_python_sources ${_python_project} ${_python_package})
  add_custom_command(OUTPUT ${_wheel}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_stage}/bindings/python/tavoctl
            ${_stage}/data
    COMMAND ${CMAKE_COMMAND} -E copy ${_python_project} ${_stage}/bindings/python/
    COMMAND ${CMAKE_COMMAND} -E copy ${_python_package}
            ${_stage}/bindings/python/tavoctl/
    COMMAND ${CMAKE_COMMAND} -E copy ${TAVOCTL_RESULT_CODES}
            ${TAVOCTL_RESULT_CODES_PY} ${_stage}/data/
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${_stage}/
    COMMAND ${_wheel_python} -m build --wheel --no-isolation
            --outdir ${PROJECT_BINARY_DIR}/python ${_stage}/bindings/python
    DEPENDS ${_python_sources} ${TAVOCTL_RESULT_CODES} ${TAVOCTL_RESULT_CODES_PY}
            ${PROJECT_SOURCE_DIR}/LICENSE
    COMMENT "Building the Python binding's wheel"
    VERBATIM)
  add_custom_target(tavoctl_wheel ALL DEPENDS ${_wheel})
  install(FILES ${_wheel} DESTINATION python)
else()
  message(STATUS "No Python with build, setuptools and wheel (python3-build): "
                 "the zip has no Python binding")
endif()

# ------------------------------------------------------ readme, licence
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
  ${PROJECT_BINARY_DIR}/package/README.txt @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/README.txt DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

# ------------------------------------------------------------- the zip
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tavoctl)
set(CPACK_PACKAGE_VENDOR tavoctl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tavoctl-${PROJECT_VERSION}-${TAVOCTL_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
include(CPack)
