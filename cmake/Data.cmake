# The files installed beside the programs.
set(data ${PROJECT_SOURCE_DIR}/data)
set(docdir ${CMAKE_INSTALL_DATADIR}/doc/pingsweep)

install(FILES ${data}/pingsweep.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT pingsweep)
install(FILES ${data}/pingsweep.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT pingsweep)
set(metainfo ${PROJECT_BINARY_DIR}/${PINGSWEEP_APPSTREAM_ID}.metainfo.xml)
configure_file(${data}/pingsweep.metainfo.xml.in ${metainfo} @ONLY)
install(FILES ${metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        COMPONENT pingsweep)

# The watch as a system service, one instance per interface; shipped
# disabled (nothing enables it).
if(LINUX)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_get_variable(systemd_unit_dir systemd systemdsystemunitdir)
  endif()
  if(NOT systemd_unit_dir)
    set(systemd_unit_dir /lib/systemd/system)
  endif()
  install(FILES ${data}/pingsweep-watch@.service DESTINATION ${systemd_unit_dir}
          COMPONENT pingsweep)
endif()

# Debian's layout for the documents: the licence by name (the text is in
# /usr/share/common-licenses), the change log compressed.
install(FILES ${data}/copyright README.md DESTINATION ${docdir} COMPONENT pingsweep)
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${data}/changelog ${PROJECT_BINARY_DIR}/changelog
  COMMAND ${GZIP} -9nf ${PROJECT_BINARY_DIR}/changelog
  DEPENDS ${data}/changelog
  VERBATIM)
add_custom_target(pingsweep_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${docdir} COMPONENT pingsweep)

# The -dev package carries the same two documents under its own name.
install(FILES ${data}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/pingsweep-dev COMPONENT dev)

if(BUILD_TESTING)
  # The bash completion, with hostile interface and host names (root: it makes
  # a private network namespace).
  add_test(NAME completion_pingsweep_cli
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-completion.sh
                   ${data}/pingsweep-cli.bash-completion $<TARGET_FILE:pingsweep-cli>)
  set_tests_properties(completion_pingsweep_cli PROPERTIES LABELS install SKIP_RETURN_CODE 77)
  if(LINUX)
    add_test(NAME watch_service_unit
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-watch-unit.sh
                     ${data}/pingsweep-watch@.service $<TARGET_FILE:pingsweep-cli>)
    set_tests_properties(watch_service_unit PROPERTIES LABELS install SKIP_RETURN_CODE 77)
  endif()
endif()
