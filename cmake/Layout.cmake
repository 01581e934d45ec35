# pingsweep_headers(<target>): makes the headers of the current folder
# reachable as "<folder>/name.h" (the folder's path from the top, e.g.
# "platform/inet/sweep_io.h") for <target> and whatever links it, and for
# nothing else: each library gets its own include root in the build tree,
# holding one link to its folder.
function(pingsweep_headers target)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT IS_SYMLINK ${root}/${folder})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  endif()
endfunction()

# pingsweep_library(<target> <sources>...): a static library of the current
# folder, its headers reachable through pingsweep_headers.
function(pingsweep_library target)
  add_library(${target} ${ARGN})
  pingsweep_headers(${target})
endfunction()
