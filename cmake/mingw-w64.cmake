# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the posix thread model, for
# std::thread and std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VXU_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VXU_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VXU_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${VXU_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VXU_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A static runtime: the programs and libraries need no mingw DLL on the device.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
