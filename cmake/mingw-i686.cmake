# Cross-build for 32-bit Windows with mingw-w64 (Debian's g++-mingw-w64-i686-posix). Needs a
# 32-bit wine to run the results (wine32, which needs a kernel that runs 32-bit Linux programs);
# scripts/build-windows.sh picks this file when that is the case.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
