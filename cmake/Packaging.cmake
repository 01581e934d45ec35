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
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it before every
# package's description, so each package's own starts with its summary.
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
# Beside the libraries dpkg-shlibdeps finds (libqt6gui6 among them, which
# holds the X11 platform plugin, and libpugixml1v5 for the UPnP names, named
# by their packages' own symbols files rather than here): setcap for the
# post-install step, the SVG plugins that draw the icon, which no program
# links, and libcurl4, which the UPnP names load at their first fetch.
set(CPACK_DEBIAN_PINGSWEEP_PACKAGE_DEPENDS "libcap2-bin, libqt6svg6, libcurl4")
# The vendor names pingsweep-cli shows beside MAC addresses.
set(CPACK_DEBIAN_PINGSWEEP_PACKAGE_RECOMMENDS "ieee-data")
# The summary, then the extended description; CPack indents the lines itself.
set(CPACK_DEBIAN_PINGSWEEP_DESCRIPTION
    "list the hosts of a local subnet that answer a ping
PingSweep sweeps one subnet of 255 host addresses with ICMP echo requests
and lists every host that answers, with its name from a reverse DNS lookup:
a desktop window (pingsweep) and a fast command-line sweeper (pingsweep-cli)
for IPv4 and IPv6 ranges, which finds hosts by ARP too. pingsweep-reg
queries, changes, exports and imports the registry that programs built on
pingsweep-dev keep their settings in.

The package grants pingsweep and pingsweep-cli the CAP_NET_RAW capability,
so that every user can sweep.")
# The registry library for other programs: static libraries, headers, the
# CMake package (PingSweep::registry) and pingsweep-registry.pc.
set(CPACK_DEBIAN_DEV_PACKAGE_NAME pingsweep-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libsqlite3-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "persistent key/value registry library of PingSweep - development files
RegistryKey, a class over a persistent hierarchical key/value registry kept
in SQLite, for programs brought over from Windows that keep their settings in
the registry. find_package(PingSweep CONFIG REQUIRED COMPONENTS registry) gives
the imported target PingSweep::registry; pkg-config knows pingsweep-registry.")

set(packaging ${PROJECT_BINARY_DIR}/packaging)
set(bindir ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in ${packaging}/postinst @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/postrm ${packaging}/postrm COPYONLY)
set(CPACK_DEBIAN_PINGSWEEP_PACKAGE_CONTROL_EXTRA ${packaging}/postinst ${packaging}/postrm)

# cpack writes no package without every program's manual page.
get_property(CPACK_PINGSWEEP_PROGRAMS GLOBAL PROPERTY PINGSWEEP_PROGRAMS)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/CheckPackage.cmake)

if(BUILD_TESTING)
  # The maintainer scripts on the registry's folder, in a throw-away root.
  add_test(NAME maintainer_scripts
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-maintainer-scripts.sh
                   ${packaging}/postinst ${packaging}/postrm)
  # Staged files without manual pages, as a build without help2man stages.
  add_test(NAME package_needs_man_pages
           COMMAND ${CMAKE_COMMAND} -DCPACK_PINGSWEEP_PROGRAMS=pingsweep
                   -DCPACK_TEMPORARY_DIRECTORY=${PROJECT_BINARY_DIR}/staged-without-pages
                   -P ${PROJECT_SOURCE_DIR}/cmake/CheckPackage.cmake)
  set_tests_properties(package_needs_man_pages PROPERTIES
                       PASS_REGULAR_EXPRESSION "no manual page pingsweep\\(1\\).*help2man")
  set_tests_properties(maintainer_scripts package_needs_man_pages PROPERTIES LABELS install)
  if(PINGSWEEP_HARDENED)
    # The packages themselves, made into a temporary folder (needs dpkg-dev),
    # from a build like the one they are made from: hardened, no sanitizers.
    add_test(NAME package_contents
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-package.sh ${PROJECT_BINARY_DIR})
    set_tests_properties(package_contents PROPERTIES LABELS install SKIP_RETURN_CODE 77 TIMEOUT 600)
  endif()
endif()

include(CPack)
