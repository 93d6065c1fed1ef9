# Cross-compiling for Windows with Debian's mingw-w64 (the posix thread model, for
# std::thread and std::mutex): 64-bit, unless a toolchain file that includes this one
# chose the target first (mingw-w64-i686.cmake, the device's own word size).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT VXU_MINGW)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(VXU_MINGW x86_64-w64-mingw32)
endif()
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
