# What `cmake --install` puts beside the libraries and headers (their rules
# are in host/, value/ and library/): the CMake package and the pkg-config
# file, both free of absolute paths so the installed tree can be moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(DAQEVSTAT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/daqevstat)

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

# The pkg-config file finds the prefix from its own place,
# <prefix>/<libdir>/pkgconfig, e.g. "${pcfiledir}/../.." for lib.
set(DAQEVSTAT_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  # Absolute directories were asked for: the file cannot be relocatable.
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
configure_file(cmake/daqevstat.pc.in ${PROJECT_BINARY_DIR}/daqevstat.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/daqevstat.pc
  DESTINATION ${DAQEVSTAT_PC_DIR}
  COMPONENT Development)
