# What `cmake --install` puts into a prefix, and the release archives CPack
# makes of it (scripts/package).
#
#   Linux    lib/libkvinit64.so.9.5.0, .so.9 and .so (links)
#            lib/pkgconfig/kvinit64.pc
#   Windows  bin/kvinit64.dll; lib/kvinit64.dll.a (MinGW), lib/kvinit64.lib
#            (MSVC) and lib/kvinit64.def
#   both     include/kvinit64.h, bin/kvprofile[.exe],
#            lib/cmake/kvinit64/ (find_package(kvinit64): kvinit64::kvinit64),
#            share/doc/kvinit64/README.md and LICENSE
#
# Every installed path is relative to the prefix, so an installed tree or an
# unpacked archive may be moved anywhere.
include(CMakePackageConfigHelpers)

set(KV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kvinit64)

install(TARGETS kvinit64 EXPORT kvinit64-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${KV_INCLUDE_DIR}/kvinit64.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${KV_MSVC_IMPLIB} src/api/kvinit64.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(TARGET kvprofile)
  install(TARGETS kvprofile RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The CMake package.
install(EXPORT kvinit64-targets NAMESPACE kvinit64:: DESTINATION ${KV_CMAKE_DIR})
configure_package_config_file(cmake/kvinit64-config.cmake.in
  ${PROJECT_BINARY_DIR}/kvinit64-config.cmake INSTALL_DESTINATION ${KV_CMAKE_DIR})
# Any 9.x satisfies a request for 9.y with y <= x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kvinit64-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kvinit64-config.cmake
  ${PROJECT_BINARY_DIR}/kvinit64-config-version.cmake DESTINATION ${KV_CMAKE_DIR})

# pkg-config, on Linux; the prefix is found from the file's own place.
if(NOT WIN32)
  file(RELATIVE_PATH KV_PC_TO_PREFIX
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  configure_file(cmake/kvinit64.pc.in ${PROJECT_BINARY_DIR}/kvinit64.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/kvinit64.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# --- release archives ----------------------------------------------------------
set(CPACK_PACKAGE_NAME kvinit64)
set(CPACK_PACKAGE_VERSION ${KVINIT64_VERSION})
set(CPACK_PACKAGE_VENDOR "the kvinit64 developers")
set(CPACK_PACKAGE_CONTACT "the kvinit64 developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "In-process library with a flat C interface: error destination, library information")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_SYSTEM_NAME linux-x86_64)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
