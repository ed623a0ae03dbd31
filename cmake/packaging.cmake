# Debian packages from the install rules: `cpack -G DEB` in a build tree
# makes libdaqevstat0 (the shared libraries) and libdaqevstat-dev (headers,
# the unversioned library links, the CMake package and the pkg-config file).
# Only these two components are packaged; nothing else of the tree is.
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

set(CPACK_DEB_COMPONENT_INSTALL ON)
# Each description's first line is the package summary.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The development package requires the runtime of exactly its own version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libdaqevstat0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "Running statistics on a DAQ event stream (shared libraries)
libdaqevstat counts events and lost events of a DAQ stream and fills
latency and period distributions, published as properties of a host
location. This package holds libdaqevstat and the host layer libdaqhost.")
# Depends on the C and C++ runtimes as dpkg-shlibdeps finds them; shlibs
# lets packages built against it depend on it in turn.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libdaqevstat-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "Running statistics on a DAQ event stream (development files)
Headers, the CMake package (find_package(daqevstat)) and the pkg-config
file (daqevstat) for building servers with libdaqevstat.")

include(CPack)
