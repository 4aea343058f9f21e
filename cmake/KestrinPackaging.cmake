# Install layout and packages.  Everything lands in one folder, which is
# also the server's working folder: the host program loads the library from
# beside itself, and the server reads kestrinsv.cfg and writes its files in
# the current folder.
#
#   cmake --install build/default                  /opt/kestrin unless --prefix
#   cmake --install build/default --component simulators    adds the simulators
#   cmake --build build/default --target package   build/default/package/*.tar.gz
#   cmake --build build/mingw-i686 --target package build/mingw-i686/package/*.zip

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND NOT WIN32)
  set(CMAKE_INSTALL_PREFIX /opt/kestrin CACHE PATH "Folder the server is installed into" FORCE)
endif()

install(FILES README.md docs/kestrinsv.cfg.sample DESTINATION .)
install(FILES docs/operator-guide.md docs/protocol.md DESTINATION docs)
if(NOT WIN32)
  # The systemd unit, beside the programs it runs.
  install(FILES packaging/kestrinsv.service DESTINATION .)
  if(KESTRIN_TESTS AND KESTRIN_UNIT_TESTS)
    add_test(NAME service_unit COMMAND ${PROJECT_SOURCE_DIR}/packaging/verify-service-unit ${PROJECT_BINARY_DIR})
    set_tests_properties(service_unit PROPERTIES LABELS unit SKIP_RETURN_CODE 77)
  endif()
endif()

set(CPACK_PACKAGE_NAME kestrin)
set(CPACK_PACKAGE_VENDOR Kestrin)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Kestrin anti-cheat server for Half-Life dedicated game servers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(kestrin_package_system win32)
  else()
    set(kestrin_package_system win64)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
  set(kestrin_package_system linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME kestrin-${PROJECT_VERSION}-${kestrin_package_system})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)
