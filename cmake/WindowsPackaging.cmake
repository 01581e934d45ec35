# Windows packages, from the build folder: cpack -G NSIS writes an installer
# (PingSweep-<version>-win64.exe) with a Start-menu entry for the window, and
# cpack -G ZIP a portable zip. Both carry the three programs in bin/, the
# IEEE registries beside pingsweep-cli.exe (for the vendor names) and the
# licence.
set(PINGSWEEP_IEEE_DATA /usr/share/ieee-data CACHE PATH
    "The IEEE registries shipped beside the Windows programs (Debian's ieee-data)")
foreach(file oui.csv mam.csv oui36.csv iab.csv)
  if(EXISTS ${PINGSWEEP_IEEE_DATA}/${file})
    install(FILES ${PINGSWEEP_IEEE_DATA}/${file} DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT pingsweep)
  else()
    message(STATUS "${PINGSWEEP_IEEE_DATA}/${file} not found: the packages lack it (apt-get install ieee-data)")
  endif()
endforeach()
install(FILES LICENSE README.md DESTINATION . COMPONENT pingsweep)

set(CPACK_PACKAGE_NAME PingSweep)
set(CPACK_PACKAGE_VENDOR "The PingSweep developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "list the hosts of a local subnet that answer a ping")
set(CPACK_PACKAGE_FILE_NAME PingSweep-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY PingSweep)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_COMPONENTS_ALL pingsweep)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)

# The Start-menu entry: bin/pingsweep.exe as "PingSweep".
set(CPACK_PACKAGE_EXECUTABLES pingsweep PingSweep)
set(CPACK_NSIS_DISPLAY_NAME PingSweep)
set(CPACK_NSIS_PACKAGE_NAME PingSweep)
set(CPACK_NSIS_INSTALLED_ICON_NAME bin\\\\pingsweep.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# 64-bit programs: under Program Files, not Program Files (x86).
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")

include(CPack)
