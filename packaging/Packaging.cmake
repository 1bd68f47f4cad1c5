# Debian packages of a linux build tree, made by CPack from the install rules:
#   libkorvane2      the shared library under its SONAME
#   libkorvane-dev   headers, the .so link, the static library, the CMake package and the .pc files
#   korvane-tools    the tool, the simulator, their man pages and bash completion, the trace style sheet
#   python3-korvane  the Python package
# Each install rule belongs to one of the components lib, dev, tools and python; a rule that
# names none takes its directory's default (set in the top CMakeLists.txt), so headers and
# modules added later land in the right package without touching this file.
# `cpack --config <build>/CPackConfig.cmake` packs what the tree already built.
# CPack rather than debhelper: packing the built tree takes 22 s (12 s of CPU), while
# dpkg-buildpackage builds the whole source again in its own tree, at least the 680 s of a cold
# linux build on two cores, and ./korvane.sh package makes the Windows installer from the same run.
# What debhelper would add is done here too: dependencies from dpkg-shlibdeps, the shlibs file,
# stripping, the ldconfig trigger and the policy fixes in DebFixup.cmake; lintian checks the result.
set(KORVANE_DEB_MAINTAINER "Korvane maintainers <maintainers@korvane.example>")

# Debian's documentation files, for component installs only (a plain cmake --install leaves
# them out). The changelog's date is the configure time (or SOURCE_DATE_EPOCH where set).
string(TIMESTAMP KORVANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(korvane_changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${korvane_changelog_gz}
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/changelog > ${korvane_changelog_gz}
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(korvane_package_docs ALL DEPENDS ${korvane_changelog_gz})

set(korvane_deb_packages lib=libkorvane2 dev=libkorvane-dev tools=korvane-tools python=python3-korvane)
foreach(pair IN LISTS korvane_deb_packages)
  string(REPLACE "=" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${korvane_changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VENDOR "Korvane")
set(CPACK_PACKAGE_CONTACT "${KORVANE_DEB_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools python)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KORVANE_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://korvane.example/")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Dependencies on other packages come from the binaries (dpkg-shlibdeps); those between these
# packages from the component graph below, at this exact version.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/src)

set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_TOOLS_DEPENDS lib)
set(CPACK_COMPONENT_PYTHON_DEPENDS lib)

# The descriptions' lines stay short: CPack indents them by one space for the control file.
set(korvane_deb_about "Korvane drives the Avel, Bormo, Cadri, Dovin, Efrai and Forsa
oscilloscope families over TCP/IP, with the IVI COM object model and the
IVI-C functions.")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libkorvane2)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIB_DESCRIPTION "IVI driver for oscilloscopes (shared library)
${korvane_deb_about}

This package holds the shared library.")
# The loader's cache learns of the library when the package comes or goes.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/lib/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/lib/triggers)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkorvane-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "IVI driver for oscilloscopes (development files)
${korvane_deb_about}

This package holds the C and C++ headers, the link to the library, the static
library, the CMake package (find_package(Korvane)) and the pkg-config files.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME korvane-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "IVI driver for oscilloscopes (command-line tool and simulator)
${korvane_deb_about}

This package holds the korvane tool, the korvane-scope-sim simulated
instrument, their manual pages and bash completion, and the style sheet for
the driver's trace files.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-korvane)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# Pure Python over ctypes: nothing for dpkg-shlibdeps to read; what it imports is named here.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any (>= 3.11), python3-numpy")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "IVI driver for oscilloscopes (Python 3 package)
${korvane_deb_about}

This package holds the korvane Python module, which uses the shared library.")

# After the components are staged and before they are packed: what Debian's policy asks of
# the files themselves (DebFixup.cmake).
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebFixup.cmake)
include(CPack)
