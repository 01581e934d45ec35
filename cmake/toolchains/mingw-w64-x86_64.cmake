# Cross-builds the Windows (x86-64) programs on Debian with mingw-w64's POSIX
# thread model (g++-mingw-w64-x86-64-posix: std::thread and std::mutex work).
# Everything is linked statically against the toolchain's runtime, so the .exe
# files need nothing beside them on a bare Windows. Tests run under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PINGSWEEP_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${PINGSWEEP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PINGSWEEP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PINGSWEEP_MINGW_TRIPLE}-windres)

# Libraries and headers come from the mingw tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PINGSWEEP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs (and try_run) run under Wine; scripts/wine-run.sh gives each a
# prefix of its own run when WINEPREFIX is not set.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh)
