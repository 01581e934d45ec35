# Install rules shared by the programs, and the files installed beside them:
# desktop entry, icon, AppStream metainfo, documentation.
include(GNUInstallDirs)
# Install rules that name no component belong to the programs' package.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME pingsweep)

# The project's home: its repository, whose README is the project page. The
# AppStream id is the reverse-DNS name of that home (io.github.<owner>, as
# AppStream asks of projects hosted there) and the application's name: it
# never changes with a release, the desktop entry or the package. Plain
# variables, not cache entries, so that a build folder never keeps old ones.
set(PINGSWEEP_HOMEPAGE "https://github.com/pingsweep/pingsweep")
# docs/screenshot.png as published.
set(PINGSWEEP_SCREENSHOT_URL
    "https://raw.githubusercontent.com/pingsweep/pingsweep/main/docs/screenshot.png")
set(PINGSWEEP_APPSTREAM_ID "io.github.pingsweep.PingSweep")
# The release the metadata and the manual pages describe; the change log and
# the metainfo's release list carry the same.
set(PINGSWEEP_RELEASE_DATE 2026-12-08)
set(PINGSWEEP_RELEASE_EPOCH 1796688000)

find_program(HELP2MAN help2man)
find_program(GZIP gzip REQUIRED)
if(NOT HELP2MAN)
  # The package cannot be made without them (see Packaging.cmake).
  message(WARNING "help2man not found: no manual pages, and cpack refuses to make the "
                  "package (apt-get install help2man, then configure again)")
endif()

# pingsweep_install_program(<target> [COMPLETION])
#
# Installs the program <target> into bindir with its manual page, made by
# help2man from the program's own --help and --version and the extra sections
# in data/<target>.h2m, and, with COMPLETION, the bash completion in
# data/<target>.bash-completion.
function(pingsweep_install_program target)
  cmake_parse_arguments(ARG "COMPLETION" "" "" ${ARGN})
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT pingsweep)
  set_property(GLOBAL APPEND PROPERTY PINGSWEEP_PROGRAMS ${target})
  if(ARG_COMPLETION)
    install(FILES ${PROJECT_SOURCE_DIR}/data/${target}.bash-completion
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
            RENAME ${target} COMPONENT pingsweep)
    set_property(GLOBAL APPEND PROPERTY PINGSWEEP_COMPLETIONS ${target})
  endif()
  if(NOT HELP2MAN)
    return()
  endif()
  set(include ${PROJECT_SOURCE_DIR}/data/${target}.h2m)
  set(page ${PROJECT_BINARY_DIR}/man/${target}.1)
  add_custom_command(
    OUTPUT ${page} ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    # No environment of the build reaches the page: same page, same bytes.
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 SOURCE_DATE_EPOCH=${PINGSWEEP_RELEASE_EPOCH}
            ${HELP2MAN} --no-info --no-discard-stderr --section=1 --include=${include}
            --output=${page} $<TARGET_FILE:${target}>
    COMMAND ${GZIP} -9nkf ${page}
    DEPENDS ${target} ${include}
    COMMENT "Manual page ${target}(1)"
    VERBATIM)
  add_custom_target(${target}_man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT pingsweep)
  set_property(GLOBAL APPEND PROPERTY PINGSWEEP_MAN_PAGES ${page})
endfunction()
