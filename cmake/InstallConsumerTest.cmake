# Installs the dev and pingsweep (programs) components into a fresh prefix, then builds
# examples/registry_consumer against it twice (CMake package and pkg-config)
# and runs both builds against a throw-away registry.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DSANITIZE=ON|OFF
#         -DGENERATOR=... -DCXX=... -P InstallConsumerTest.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command}\nfailed (${rc}):\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
foreach(component dev pingsweep)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component ${component})
endforeach()
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
foreach(expected include/pingsweep/registry/registry_key.h include/pingsweep/registry/reg_file.h
                 include/pingsweep/platform/registry/registry_service.h
                 include/pingsweep/core/variant.h bin/pingsweep-reg)
  if(NOT expected IN_LIST installed)
    message(FATAL_ERROR "${expected} not installed; installed:\n${installed}")
  endif()
endforeach()

set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=address,undefined")
endif()
set(ENV{PINGSWEEP_REGISTRY_DIR} ${WORK_DIR}/registry)

# The CMake package.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${flags}"
    "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/registry_consumer)
if(NOT last_output MATCHES "Greeting = hello from the consumer")
  message(FATAL_ERROR "unexpected output from the consumer:\n${last_output}")
endif()

# pkg-config.
find_program(PKG_CONFIG pkg-config)
if(PKG_CONFIG)
  file(GLOB_RECURSE pc_file ${prefix}/*/pingsweep-registry.pc)
  get_filename_component(pc_dir "${pc_file}" DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  run(${PKG_CONFIG} --cflags --libs pingsweep-registry)
  string(STRIP "${last_output}" pc_flags)
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  separate_arguments(extra UNIX_COMMAND "${flags}")
  run(${CXX} -std=c++20 ${extra} ${SOURCE_DIR}/main.cc ${pc_flags} -o ${WORK_DIR}/pc_consumer)
  run(${WORK_DIR}/pc_consumer)
endif()
message(STATUS "installed tree builds and runs the consumer")
