# Cross build for Windows x86 (32-bit) with MinGW-w64, from the same sources as the x86-64 build.
set(MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
# Tests run under Wine's 32-bit loader, so builtins they start (cscript, reg) are 32-bit too and
# see the 32-bit registry view, as in a 32-bit browser on 64-bit Windows.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run32.sh)
