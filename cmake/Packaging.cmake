# Debian packages, one per install component, made with `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/build-packages.sh does both):
#   libvdpattern0     the shared libraries
#   libvdpattern-dev  headers, the link symlinks, the pkg-config file and the CMake package
#   vdcatalog         the command-line tool, its manual page and its bash completion
#   python3-vdpattern the Python module (when VDPATTERN_BUILD_PYTHON is on)
# Dependencies on system libraries come from dpkg-shlibdeps; the packages depend on each other at this exact
# version, since the library promises no binary compatibility across builds yet.
set(CPACK_PACKAGE_NAME vdpattern)
set(CPACK_PACKAGE_VENDOR "vdpattern developers")
set(CPACK_PACKAGE_CONTACT "vdpattern developers <vdpattern@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The DEB generator puts the package summary above each component's description unless the summary is CPack's
# default: left at that, the first line of each component's description is its package's own summary.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL lib dev tool)
if(VDPATTERN_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds our own libraries, needed by vdcatalog, in the build tree; the dependency on their
# package is the component's below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

# A shlibs file for the package that has shared libraries (ldconfig runs from its postinst and postrm).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libvdpattern${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIB_DESCRIPTION "patterns, pattern pools and pattern catalogs - shared libraries
vdpattern keeps patterns (standard items of a family, such as steel section profiles, each with a name and
typed, named parameters with units) and the catalogs they are stored in, for engineering hosts that derive
their own factories, patterns, catalogs and managers from it. This package has the libraries vdpattern and
vdtoolkit, the platform layer it is written against.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvdpattern-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_DEV_DESCRIPTION "patterns, pattern pools and pattern catalogs - development files
Headers, the pkg-config file (vdpattern) and the CMake package (find_package(vdpattern)) for building programs
against the vdpattern libraries.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME vdcatalog)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DEPENDS lib)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "create, inspect and edit pattern catalogs
vdcatalog keeps the pattern catalogs of the vdpattern library from the command line: it creates them, adds
families, lists, shows, sets and removes patterns, imports and exports CSV and JSON, converts catalogs and
read-only Access files into new SQLite files, and upgrades catalogs made by earlier versions.")

# The module is built for one Python version (its ABI is in the file name), so the package serves that version
# only; NumPy is needed for columns and frames, pandas only for frames.
if(VDPATTERN_BUILD_PYTHON)
  math(EXPR vdpattern_python_next_minor "${Python_VERSION_MINOR} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vdpattern)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_COMPONENT_PYTHON_DEPENDS lib)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}), python3 (<< ${Python_VERSION_MAJOR}.${vdpattern_python_next_minor}), python3-numpy")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-pandas)
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION "patterns, pattern pools and pattern catalogs - Python module
The vdpattern module reads and writes the pattern catalogs of the vdpattern library from Python: patterns with
their units in the host's units, catalogs as context managers, families as NumPy columns or pandas frames, and
database failures as Python exceptions.")
endif()

# Debian policy: each package carries its copyright file, in /usr/share/doc/<package>/.
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME} COMPONENT ${component})
endforeach()

include(CPack)
