# Shared part of the MinGW-w64 toolchain files; QUORVIN_MINGW_TRIPLE names the target.
set(CMAKE_C_COMPILER ${QUORVIN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVIN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVIN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORVIN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static takes libstdc++, libgcc and winpthread into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine through this wrapper (a private prefix, no dialogs).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)

# Header-only packages are the same for every target; Debian keeps their CMake files in the
# host's /usr/share, outside the target root searched above.
if(EXISTS /usr/share/cmake/CLI11/CLI11Config.cmake)
  set(CLI11_DIR /usr/share/cmake/CLI11 CACHE PATH "CLI11's CMake package (header-only)")
endif()
