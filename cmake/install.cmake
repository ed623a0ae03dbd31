# What `cmake --install` puts beside the core libraries and headers (their
# rules are in host/, value/ and library/): the HTTP library and its header,
# the daqevstat tool, the CMake package and the pkg-config files, all free of
# absolute paths so the installed tree can be moved.
#
# Components, one Debian package each (cmake/packaging.cmake):
#   Runtime      libdaqevstat.so.0, libdaqhost.so.0
#   HttpRuntime  libdaqevstat-http.so.0
#   Development  headers, .so links, CMake package, pkg-config files
#   Tool         bin/daqevstat
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(DAQEVSTAT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/daqevstat)
set(DAQEVSTAT_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The HTTP library exists where net/ is built. Its targets go into an export
# file of their own, which daqevstat-config.cmake loads when present, so an
# installation without it still offers the core targets.
if(TARGET daqevstat_http)
  set(DAQEVSTAT_HAS_HTTP ON)
  install(TARGETS daqevstat_http EXPORT daqevstatHttpTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
            COMPONENT HttpRuntime
            NAMELINK_COMPONENT Development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/daqevstat)
  install(FILES ${PROJECT_SOURCE_DIR}/net/daqevstat_http.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/daqevstat
    COMPONENT Development)
  install(EXPORT daqevstatHttpTargets
    FILE daqevstat-http-targets.cmake
    NAMESPACE daqevstat::
    DESTINATION ${DAQEVSTAT_CMAKE_DIR}
    COMPONENT Development)
else()
  set(DAQEVSTAT_HAS_HTTP OFF)
endif()

# Installed by target name: the tool's sources may move between folders.
if(TARGET daqevstat_tool)
  set(DAQEVSTAT_HAS_TOOL ON)
  install(TARGETS daqevstat_tool
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT Tool)
else()
  set(DAQEVSTAT_HAS_TOOL OFF)
endif()

install(EXPORT daqevstatTargets
  FILE daqevstat-targets.cmake
  NAMESPACE daqevstat::
  DESTINATION ${DAQEVSTAT_CMAKE_DIR}
  COMPONENT Development)

configure_package_config_file(cmake/daqevstat-config.cmake.in
  ${PROJECT_BINARY_DIR}/daqevstat-config.cmake
  INSTALL_DESTINATION ${DAQEVSTAT_CMAKE_DIR})
# 0.x releases promise nothing to each other beyond what SameMajorVersion
# checks; the SONAME (0) is what the loader goes by.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/daqevstat-config-version.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/daqevstat-config.cmake
  ${PROJECT_BINARY_DIR}/daqevstat-config-version.cmake
  DESTINATION ${DAQEVSTAT_CMAKE_DIR}
  COMPONENT Development)

# The pkg-config files find the prefix from their own place,
# <prefix>/<libdir>/pkgconfig, e.g. "${pcfiledir}/../.." for lib.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  # Absolute directories were asked for: the files cannot be relocatable.
  set(DAQEVSTAT_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(DAQEVSTAT_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(DAQEVSTAT_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}/daqevstat")
else()
  file(RELATIVE_PATH up /prefix/${DAQEVSTAT_PC_DIR} /prefix)
  string(REGEX REPLACE "/$" "" up "${up}")  # CMake gives "../../"
  set(DAQEVSTAT_PC_PREFIX "\${pcfiledir}/${up}")
  set(DAQEVSTAT_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(DAQEVSTAT_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}/daqevstat")
endif()
set(DAQEVSTAT_PC_FILES daqevstat)
if(DAQEVSTAT_HAS_HTTP)
  list(APPEND DAQEVSTAT_PC_FILES daqevstat-http)
endif()
foreach(pc IN LISTS DAQEVSTAT_PC_FILES)
  configure_file(cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc
    DESTINATION ${DAQEVSTAT_PC_DIR}
    COMPONENT Development)
endforeach()
