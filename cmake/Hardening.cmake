# Debian's hardening flags for every build but the sanitizer one (the
# sanitizers bring their own stack and memory checks, and fortified functions
# hide accesses from them): what dpkg-buildflags gives on Debian 12 amd64 with
# DEB_BUILD_MAINT_OPTIONS=hardening=+all. Two of the programs run with
# CAP_NET_RAW, so the package is built this way too.
option(PINGSWEEP_HARDENING "Build with Debian's hardening flags (not with PINGSWEEP_SANITIZE)" ON)

if(PINGSWEEP_HARDENING AND NOT PINGSWEEP_SANITIZE)
  add_compile_options(-fstack-protector-strong -fstack-clash-protection -fcf-protection
                      -Wformat -Werror=format-security)
  # _FORTIFY_SOURCE needs the optimiser; a Debug build only gets a warning.
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  set(PINGSWEEP_HARDENED ON)
else()
  set(PINGSWEEP_HARDENED OFF)
endif()
