# What the Windows build (cmake/toolchains/mingw-w64-x86_64.cmake) takes in
# place of the Linux build's packages. Debian packages none of SQLite,
# libsodium, libcap, Qt or GoogleTest for mingw-w64: the registry, the keyed
# hash and the privileges are the system's own there (advapi32, bcrypt), the
# window is native Win32 (winapp/), and GoogleTest is built from Debian's
# source package (googletest, in /usr/src/googletest). nlohmann-json is
# header-only: the host's package serves.
# Its CMake package would put all of /usr/include on the compiler's path, and
# glibc's headers must not be found there: one folder holding a link to its
# own headers stands in.
find_path(PINGSWEEP_NLOHMANN_JSON nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
          NO_DEFAULT_PATH REQUIRED)
set(json_root ${PROJECT_BINARY_DIR}/include/nlohmann_json)
file(MAKE_DIRECTORY ${json_root})
if(NOT IS_SYMLINK ${json_root}/nlohmann)
  file(CREATE_LINK ${PINGSWEEP_NLOHMANN_JSON}/nlohmann ${json_root}/nlohmann SYMBOLIC)
endif()
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${json_root})

# Windows 7 and later; the headers' min/max macros and rarely used parts off.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX WIN32_LEAN_AND_MEAN)
# GCC warns about MS printf formats it does not know; the code uses none.
add_compile_options(-Wno-format)
# The PE counterparts of Debian's hardening (cmake/Hardening.cmake holds the
# ELF ones, off for this build: -fstack-clash-protection breaks mingw-w64's
# GCC 12 on SEH frames): stack protector, address space randomisation with
# high entropy, no execution of data.
add_compile_options(-fstack-protector-strong)
add_link_options(-fstack-protector-strong LINKER:--dynamicbase LINKER:--nxcompat
                 LINKER:--high-entropy-va)

if(BUILD_TESTING)
  set(PINGSWEEP_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
      "GoogleTest sources (Debian's googletest package)")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${PINGSWEEP_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(lib gtest gtest_main gmock gmock_main)
    # Its own code is not ours to warn about. (It names its GTest:: aliases.)
    target_compile_options(${lib} PRIVATE -w)
  endforeach()
endif()
