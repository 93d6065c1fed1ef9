# What a Windows build needs beside the cross-compiled programs.
#
# The host tools: vxstamp stamps vxupdater.exe after linking, and vxpack, vxdevice and
# the host vxupdater and its engine library make and check devices for the Windows build.
# They are built for the build machine from this same source tree, in host/ below the
# build folder, or in VXU_HOST_DIR: the 32-bit build shares the 64-bit build's host tools
# (the two builds must then not run at the same time).
include(ExternalProject)
set(VXU_HOST_DIR ${CMAKE_BINARY_DIR}/host CACHE PATH "Build folder of the host tools")
set(VXU_VXSTAMP ${VXU_HOST_DIR}/tools/vxstamp)
set(VXU_HOST_TARGETS vxstamp vxpack vxdevice vxupdater vxsim_engine)
list(TRANSFORM VXU_HOST_TARGETS PREPEND "--target;" OUTPUT_VARIABLE VXU_HOST_TARGET_ARGS)
ExternalProject_Add(vxu_host_tools
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${VXU_HOST_DIR}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build . ${VXU_HOST_TARGET_ARGS}
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${VXU_VXSTAMP}
  INSTALL_COMMAND "")

# The device's zlib.dll is Debian's zlib1.dll (libz-mingw-w64) of the target's word size:
# zlib's own crc32, whose unsigned long is 32 bits on Windows.  Copied beside the programs
# under the device's name.
find_file(VXU_MINGW_ZLIB_DLL zlib1.dll PATHS ${CMAKE_FIND_ROOT_PATH} PATH_SUFFIXES bin lib
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
configure_file(${VXU_MINGW_ZLIB_DLL} ${CMAKE_BINARY_DIR}/zlib.dll COPYONLY)
