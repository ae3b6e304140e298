# Cross-building the 32-bit Windows program with Debian's MinGW-w64 (posix thread model, which
# provides std::thread). Linked statically so the .exe needs no MinGW runtime DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUORVIN_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
