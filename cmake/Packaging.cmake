# Debian packages, one per install component, made with `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (scripts/build-packages.sh does both):
#   libvdpattern0     the shared libraries
#   libvdpattern-dev  headers, the link symlinks, the pkg-config file and the CMake package
#   vdcatalog         the command-line tool, its manual page and its bash completion
# Dependencies on system libraries come from dpkg-shlibdeps; the packages depend on each other at this exact
# version, since the library promises no binary compatibility across builds yet.
set(CPACK_PACKAGE_NAME vdpattern)
set(CPACK_PACKAGE_VENDOR "vdpattern developers")
set(CPACK_PACKAGE_CONTACT "vdpattern developers <vdpattern@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL lib dev tool)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME libvdpattern${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# A shlibs file, and the ldconfig trigger that goes with it.
set(CPACK_DEBIAN_LIB_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIB_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_COMPONENT_LIB_DESCRIPTION "vdpattern shared libraries
 Patterns, pattern pools and pattern catalogs for engineering hosts, and the platform toolkit they are
 written against.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvdpattern-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_COMPONENT_DEV_DESCRIPTION "vdpattern development files
 Headers, the pkg-config file (vdpattern) and the CMake package (find_package(vdpattern)) for building
 programs against the vdpattern libraries.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME vdcatalog)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOL_DEPENDS lib)
set(CPACK_COMPONENT_TOOL_DESCRIPTION "command-line keeper of vdpattern catalogs
 vdcatalog creates, inspects, edits, imports, exports, converts and upgrades pattern catalogs.")

include(CPack)
