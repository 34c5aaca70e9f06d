# What `cmake --install` puts into a prefix, and the release archives CPack
# makes of it (scripts/package).
#
#   Linux    lib/libkvinit64.so.9.5.0, .so.9 and .so (links)
#            lib/pkgconfig/kvinit64.pc
#            share/man/man1/kvprofile.1, share/bash-completion/completions/kvprofile
#   Windows  bin/kvinit64.dll; lib/kvinit64.dll.a (MinGW), lib/kvinit64.lib
#            (MSVC) and lib/kvinit64.def
#            share/doc/kvinit64/kvprofile.txt (the manual page as text)
#   both     include/kvinit64.h, bin/kvprofile[.exe],
#            lib/cmake/kvinit64/ (find_package(kvinit64): kvinit64::kvinit64),
#            share/doc/kvinit64/README.md and LICENSE
#
# Every installed path is relative to the prefix, so an installed tree or an
# unpacked archive may be moved anywhere.  Configured for the prefix /usr (the
# Debian packages, packaging/debian), lib/ is the multiarch folder that
# GNUInstallDirs chooses and kvinit64.pc names /usr itself, so that pkg-config
# leaves out the system folders.
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
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The tool, with its manual page and bash completion; Windows has neither
# man nor bash, so the page comes along as text beside the README.
if(TARGET kvprofile)
  install(TARGETS kvprofile RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(KV_MAN_PAGE ${PROJECT_SOURCE_DIR}/tools/kvprofile/doc/kvprofile.1)
  if(WIN32)
    find_program(KV_GROFF groff REQUIRED) # Debian package groff-base
    set(KV_MAN_TEXT ${PROJECT_BINARY_DIR}/kvprofile.txt)
    add_custom_command(OUTPUT ${KV_MAN_TEXT}
      COMMAND ${CMAKE_COMMAND} -DGROFF=${KV_GROFF} -DPAGE=${KV_MAN_PAGE} -DOUT=${KV_MAN_TEXT}
              -P ${PROJECT_SOURCE_DIR}/cmake/render-man.cmake
      DEPENDS ${KV_MAN_PAGE} ${PROJECT_SOURCE_DIR}/cmake/render-man.cmake
      COMMENT "kvprofile's manual page as text"
      VERBATIM)
    add_custom_target(kvprofile_man_text ALL DEPENDS ${KV_MAN_TEXT})
    install(FILES ${KV_MAN_TEXT} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  else()
    install(FILES ${KV_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/kvprofile/doc/kvprofile.bash
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME kvprofile)
  endif()
endif()

# The CMake package.
install(EXPORT kvinit64-targets NAMESPACE kvinit64:: DESTINATION ${KV_CMAKE_DIR})
configure_package_config_file(cmake/kvinit64-config.cmake.in
  ${PROJECT_BINARY_DIR}/kvinit64-config.cmake INSTALL_DESTINATION ${KV_CMAKE_DIR})
# Any 9.x satisfies a request for 9.y with y <= x.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kvinit64-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kvinit64-config.cmake
  ${PROJECT_BINARY_DIR}/kvinit64-config-version.cmake DESTINATION ${KV_CMAKE_DIR})

# pkg-config, on Linux.  The prefix is found from the file's own place, so
# the folder may move; installed into /usr (chosen when installing: the
# Debian build, `cmake --install --prefix /usr`) it is /usr itself, which
# pkg-config recognises as a system folder and leaves out of the flags (it
# compares the text: /usr/lib/x86_64-linux-gnu/pkgconfig/../../.. never
# matches).
if(NOT WIN32)
  file(RELATIVE_PATH KV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" KV_PC_TO_PREFIX "${KV_PC_TO_PREFIX}") # ../.. rather than ../../
  set(KV_PC_PREFIX "\${pcfiledir}/${KV_PC_TO_PREFIX}")
  configure_file(cmake/kvinit64.pc.in ${PROJECT_BINARY_DIR}/pc-moved/kvinit64.pc @ONLY)
  set(KV_PC_PREFIX /usr)
  configure_file(cmake/kvinit64.pc.in ${PROJECT_BINARY_DIR}/pc-usr/kvinit64.pc @ONLY)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(_kv_pc \"${PROJECT_BINARY_DIR}/pc-usr/kvinit64.pc\")
    else()
      set(_kv_pc \"${PROJECT_BINARY_DIR}/pc-moved/kvinit64.pc\")
    endif()
    file(INSTALL \"\${_kv_pc}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")")
endif()

# --- release archives ----------------------------------------------------------
# The .tar.gz and the .zip; the Debian packages are built by dpkg-buildpackage
# from packaging/debian (scripts/package deb).
set(CPACK_PACKAGE_NAME kvinit64)
set(CPACK_PACKAGE_VERSION ${KVINIT64_VERSION})
set(CPACK_PACKAGE_VENDOR "the kvinit64 developers")
set(CPACK_PACKAGE_CONTACT "kvinit64 developers <kvinit64@lists.example.org>")
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
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-x86_64)
endif()
include(CPack)
