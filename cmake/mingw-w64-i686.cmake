# Cross-compiling for 32-bit Windows: 4-byte pointers and a 4-byte size_t, as on the
# device, whose system and libraries are 32-bit.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VXU_MINGW i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
