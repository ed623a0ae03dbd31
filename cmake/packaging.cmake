# Debian packages from the install rules: `cpack -G DEB` in a build tree
# makes
#   libdaqevstat0       the core shared libraries (Runtime)
#   libdaqevstat-http0  the HTTP library (HttpRuntime)
#   libdaqevstat-dev    headers, the unversioned library links, the CMake
#                       package and the pkg-config files (Development)
#   daqevstat           the command-line tool in /usr/bin (Tool)
# The last two and the HTTP library exist where net/ and tool/ are built.
# Nothing else of the tree is packaged.
set(CPACK_PACKAGE_NAME libdaqevstat)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "libdaqevstat developers <libdaqevstat@example.org>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The packages carry no debug information (and so no build paths).
set(CPACK_STRIP_FILES ON)

set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_COMPONENT_RUNTIME_DISPLAY_NAME "libdaqevstat shared libraries")
set(CPACK_COMPONENT_DEVELOPMENT_DISPLAY_NAME "libdaqevstat development files")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
if(DAQEVSTAT_HAS_HTTP)
  list(APPEND CPACK_COMPONENTS_ALL HttpRuntime)
  set(CPACK_COMPONENT_HTTPRUNTIME_DISPLAY_NAME "libdaqevstat HTTP library")
  # libdaqevstat-http.so.0 needs libdaqhost.so.0.
  set(CPACK_COMPONENT_HTTPRUNTIME_DEPENDS Runtime)
  list(APPEND CPACK_COMPONENT_DEVELOPMENT_DEPENDS HttpRuntime)
endif()
if(DAQEVSTAT_HAS_TOOL)
  list(APPEND CPACK_COMPONENTS_ALL Tool)
  set(CPACK_COMPONENT_TOOL_DISPLAY_NAME "daqevstat command-line tool")
  set(CPACK_COMPONENT_TOOL_DEPENDS Runtime)
  if(DAQEVSTAT_HAS_HTTP)
    list(APPEND CPACK_COMPONENT_TOOL_DEPENDS HttpRuntime)
  endif()
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
# Each description's first line is the package summary.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A package that needs another of ours requires exactly its own version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

# Depends on the C and C++ runtimes (and, for the tool, line editing) as
# dpkg-shlibdeps finds them; shlibs lets packages built against the
# libraries depend on them in turn. Our own libraries are not installed
# while packaging: dpkg-shlibdeps finds them in the build tree and leaves
# them to the component dependencies above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "")
foreach(library IN ITEMS daqhost daqevstat daqevstat_http)
  if(TARGET ${library})
    get_target_property(dir ${library} LIBRARY_OUTPUT_DIRECTORY)
    if(NOT dir)
      get_target_property(dir ${library} BINARY_DIR)
    endif()
    list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${dir})
  endif()
endforeach()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libdaqevstat0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "Running statistics on a DAQ event stream (shared libraries)
libdaqevstat counts events and lost events of a DAQ stream and fills
latency and period distributions, published as properties of a host
location. This package holds libdaqevstat and the host layer libdaqhost.")

set(CPACK_DEBIAN_HTTPRUNTIME_PACKAGE_NAME libdaqevstat-http0)
set(CPACK_DEBIAN_HTTPRUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_HTTPRUNTIME_DESCRIPTION
  "Running statistics on a DAQ event stream (HTTP library)
libdaqevstat-http serves the properties of one or more libdaqevstat
locations over HTTP from inside a server: JSON reads and token-guarded
writes, Prometheus metrics and a dashboard page.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libdaqevstat-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "Running statistics on a DAQ event stream (development files)
Headers, the CMake package (find_package(daqevstat), targets
daqevstat::daqevstat, daqevstat::daqhost and daqevstat::http) and the
pkg-config files (daqevstat, daqevstat-http) for building servers with
libdaqevstat.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME daqevstat)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_DESCRIPTION
  "Running statistics on a DAQ event stream (command-line tool)
daqevstat replays recorded event streams through libdaqevstat, simulates a
DAQ server with the statistics served over HTTP, and offers a shell for
reading and writing the published properties by hand.")

include(CPack)
