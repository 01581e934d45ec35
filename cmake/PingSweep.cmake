# pingsweep_test(<source> LIBS <targets...> [MAIN <gtest main target>] [LABELS ...])
#
# LABELS timing: the cases judge real time in milliseconds (replies due within
# a 10 ms wait), so they run alone rather than beside a test that keeps both
# cores busy.
#
# One line per test file: builds <source> (named after its folder and stem,
# e.g. core/variant_test.cc -> core_variant_test, cli/reg/reg_cli_test.cc ->
# cli_reg_reg_cli_test), links it with GoogleTest and the given libraries, and
# registers its cases with CTest (cross-built: the program as one test).
function(pingsweep_test source)
  cmake_parse_arguments(ARG "" "MAIN" "LIBS;LABELS" ${ARGN})
  # Private network namespaces are Linux's: the Windows build has its own
  # tests that send (run by ./test.sh windows inside a namespace).
  if(WIN32 AND "netns" IN_LIST ARG_LABELS)
    return()
  endif()
  get_filename_component(stem ${source} NAME_WE)
  file(RELATIVE_PATH path ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "_" folder ${path})
  set(target ${folder}_${stem})
  add_executable(${target} ${source})
  if(NOT ARG_MAIN)
    set(ARG_MAIN GTest::gtest_main)
  endif()
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} ${ARG_MAIN} GTest::gtest GTest::gmock)
  # A list value must reach set_tests_properties as one argument.
  string(REPLACE ";" "\\;" labels "${folder};${ARG_LABELS}")
  set(serial OFF)
  if("timing" IN_LIST ARG_LABELS)
    set(serial ON)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Cases cannot be listed without running the program under its emulator
    # (Wine), whose start-up is slow: one test per program, every case in one run.
    add_test(NAME ${target} COMMAND ${target})
    # Given straight, as a list (the escaped form would name "folder;").
    set_tests_properties(${target} PROPERTIES LABELS "${folder};${ARG_LABELS}" RUN_SERIAL ${serial})
  else()
    # Discover at test time, so a sanitizer build never runs test code while building.
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES LABELS "${labels}" RUN_SERIAL ${serial})
  endif()
endfunction()
