# Cross-building the 32-bit Windows program with Debian's MinGW-w64 (posix thread model, which
# provides std::thread). Linked statically so the .exe needs no MinGW runtime DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUORVIN_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Floating point in SSE2 registers, as on x86-64, instead of the x87 unit that i686 defaults to:
# the x87's extra precision rounds some results differently, so the same seed would give other
# bytes than the 64-bit program. Every processor that runs a supported Windows has SSE2.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
