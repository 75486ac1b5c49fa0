# 32-bit Windows. Needs a 32-bit wine to run the results (wine32, which needs a kernel that runs
# 32-bit Linux programs); scripts/build-windows.sh picks this file when that is the case.
# Cross-build for Windows with mingw-w64 (Debian's g++-mingw-w64-i686-posix: the posix thread
# model, which std::thread and std::mutex need). Programs are linked statically so that wine
# (the CMAKE_CROSSCOMPILING_EMULATOR of the tests) finds no missing runtime DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_triple i686-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The static zlib, not the import library of a DLL that wine would have to find.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
