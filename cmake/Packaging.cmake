# The Debian package of the host tools: `cpack -G DEB` in a build tree (the release
# preset's, build-release/) writes vxupdater-tools_VERSION_amd64.deb.
#
#   /usr/bin/                 vxpack, vxdevice, vxfleet, vxstamp
#   /usr/lib/vxupdater/       vx_bsp_api.dll and VXUpdate.dll (the simulated device
#                             libraries, where vxdevice looks for them) and vxupdater,
#                             which vxfleet runs on its devices
#   /usr/share/doc/vxupdater-tools/examples/
#                             fleet.json and make-package
#
# Nothing is stripped or relinked on the way: vxupdater carries a label with the CRC of
# its own bytes, and the tools find their companions relative to their own folder.
install(TARGETS vxpack vxdevice vxfleet vxstamp RUNTIME DESTINATION bin)
install(TARGETS vxupdater RUNTIME DESTINATION lib/vxupdater)
install(TARGETS vxsim_bsp vxsim_engine LIBRARY DESTINATION lib/vxupdater)
install(FILES examples/fleet.json DESTINATION share/doc/vxupdater-tools/examples)
install(PROGRAMS examples/make-package DESTINATION share/doc/vxupdater-tools/examples)

set(CPACK_PACKAGE_NAME vxupdater-tools)
set(CPACK_PACKAGE_VENDOR "vxupdater developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Host tools of the handheld's firmware updater: packages, simulated devices, fleet dry runs")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vxupdater developers <vxupdater@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies from dpkg-shlibdeps, over every ELF file in the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
