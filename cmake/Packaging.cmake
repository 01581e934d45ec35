# The Debian package: cpack -G DEB in the build folder writes
# pingsweep_<version>_amd64.deb. One package per install component; the
# programs and their files are the component "pingsweep" (further components,
# such as a -dev package, are added to CPACK_COMPONENTS_ALL with their own
# CPACK_DEBIAN_<COMPONENT>_* settings).
set(CPACK_PACKAGE_NAME pingsweep)
set(CPACK_PACKAGE_VENDOR "The PingSweep developers")
set(CPACK_PACKAGE_CONTACT
    "The PingSweep developers <maintainers@users.noreply.c-seed-1adff15c.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list the hosts of a local subnet that answer a ping")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL pingsweep dev)
set(CPACK_COMPONENT_PINGSWEEP_DISPLAY_NAME "PingSweep programs")
set(CPACK_COMPONENT_DEV_DISPLAY_NAME "PingSweep registry library (development files)")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PINGSWEEP_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_PINGSWEEP_PACKAGE_NAME pingsweep)
# Beside the libraries dpkg-shlibdeps finds: setcap for the post-install step,
# the SVG plugins that draw the icon, the X11 platform plugin.
set(CPACK_DEBIAN_PINGSWEEP_PACKAGE_DEPENDS "libcap2-bin, libqt6svg6, qt6-qpa-plugins")
# The vendor names pingsweep-cli shows beside MAC addresses.
set(CPACK_DEBIAN_PINGSWEEP_PACKAGE_RECOMMENDS "ieee-data")
# The extended description; CPack takes the first line of the field from the
# summary above and indents these lines itself.
set(CPACK_DEBIAN_PINGSWEEP_DESCRIPTION
    "PingSweep sweeps one subnet of 255 host addresses with ICMP echo requests
and lists every host that answers, with its name from a reverse DNS lookup:
a desktop window (pingsweep) and a fast command-line sweeper (pingsweep-cli).

The package grants both programs the CAP_NET_RAW capability, so that every
user can sweep.")
# The registry library for other programs: static libraries, headers, the
# CMake package (PingSweep::registry) and pingsweep-registry.pc.
set(CPACK_DEBIAN_DEV_PACKAGE_NAME pingsweep-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libsqlite3-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "RegistryKey, a class over a persistent hierarchical key/value registry kept
in SQLite, for programs brought over from Windows that keep their settings in
the registry. find_package(PingSweep CONFIG REQUIRED COMPONENTS registry) gives
the imported target PingSweep::registry; pkg-config knows pingsweep-registry.")

set(packaging ${PROJECT_BINARY_DIR}/packaging)
set(bindir ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in ${packaging}/postinst @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postrm ${packaging}/postrm COPYONLY)
set(CPACK_DEBIAN_PINGSWEEP_PACKAGE_CONTROL_EXTRA ${packaging}/postinst ${packaging}/postrm)

include(CPack)
