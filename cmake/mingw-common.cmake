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

# Header-only packages serve every target, but Debian's CMake files for them point into the
# host's /usr/include; cross/ holds replacements that take only their own headers.
if(EXISTS /usr/include/CLI/CLI.hpp)
  set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/cross)
endif()
if(EXISTS /usr/include/nlohmann/json.hpp)
  set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/cross)
endif()
