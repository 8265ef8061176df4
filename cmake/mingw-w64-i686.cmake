# Cross-build for 32-bit Windows, for the simulated handheld (sim/handheld-x86): the x86
# handheld program is a 32-bit image, and only a 32-bit process can map and run it, under
# 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
set(VANDREL_HANDHELD_STANDIN ON)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
