# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once the packages' files are staged:
# stops before a package is written without a program's manual page, which is
# what a build without help2man would give.
#
# CPACK_PINGSWEEP_PROGRAMS: the programs; CPACK_TEMPORARY_DIRECTORY: the
# staged files (one folder per component).
foreach(program IN LISTS CPACK_PINGSWEEP_PROGRAMS)
  file(GLOB_RECURSE page "${CPACK_TEMPORARY_DIRECTORY}/${program}.1.gz")
  if(NOT page)
    message(FATAL_ERROR "no manual page ${program}(1) to package: install help2man "
                        "(apt-get install help2man), configure again and build")
  endif()
endforeach()
