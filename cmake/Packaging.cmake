# The Debian package of the host tools: `cpack -G DEB` in a build tree (the release
# preset's, build-release/) writes vxupdater-tools_VERSION_amd64.deb.
#
#   /usr/bin/                 vxpack, vxdevice, vxfleet, vxstamp
#   /usr/lib/vxupdater/       vx_bsp_api.dll and VXUpdate.dll (the simulated device
#                             libraries, where vxdevice looks for them) and vxupdater,
#                             which vxfleet runs on its devices
#   /usr/share/man/man1/      the tools' manual pages, made from their --help
#   /usr/share/doc/vxupdater-tools/
#                             copyright, changelog.gz, examples/ (fleet.json, make-package)
#
# The tools find their companions relative to their own folder, so nothing is relinked.
# Everything is stripped; vxupdater, which carries the CRC of its own bytes in its label,
# is stripped first and stamped again afterwards (below), so its label still holds.  A
# lintian override (cmake/debian/lintian-overrides) says why one informational note is
# not for this package.
install(TARGETS vxpack vxdevice vxfleet vxstamp RUNTIME DESTINATION bin)
install(TARGETS vxsim_bsp vxsim_engine LIBRARY DESTINATION lib/vxupdater)
# Stripped as Debian strips: no symbols, no compiler notes; the libraries keep only what
# loading them needs.
install(CODE "
  foreach(file bin/vxpack bin/vxdevice bin/vxfleet bin/vxstamp
               lib/vxupdater/vx_bsp_api.dll lib/vxupdater/VXUpdate.dll)
    set(unneeded)
    if(file MATCHES [[\\.dll$]])
      set(unneeded --strip-unneeded)
    endif()
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note \${unneeded}
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()")
install(FILES examples/fleet.json DESTINATION share/doc/vxupdater-tools/examples)
install(PROGRAMS examples/make-package DESTINATION share/doc/vxupdater-tools/examples)

# The updater as the package ships it: stripped, then stamped.
set(VXU_PACKAGED_UPDATER ${CMAKE_BINARY_DIR}/packaging/vxupdater)
add_custom_command(OUTPUT ${VXU_PACKAGED_UPDATER}
  COMMAND ${CMAKE_STRIP} --remove-section=.comment --remove-section=.note
          -o ${VXU_PACKAGED_UPDATER} $<TARGET_FILE:vxupdater>
  COMMAND vxstamp ${VXU_PACKAGED_UPDATER}
  DEPENDS vxupdater vxstamp
  COMMENT "Stripping and stamping the packaged vxupdater")
add_custom_target(vxu_packaged_updater ALL DEPENDS ${VXU_PACKAGED_UPDATER})
install(PROGRAMS ${VXU_PACKAGED_UPDATER} DESTINATION lib/vxupdater)

# The changelog names the release being built, so the two never disagree.
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VXU_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT VXU_CHANGELOG_TOP MATCHES "^vxupdater-tools \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog: its first entry is not for ${PROJECT_VERSION}")
endif()
set(VXU_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${VXU_CHANGELOG}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${VXU_CHANGELOG}
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
add_custom_target(vxu_changelog ALL DEPENDS ${VXU_CHANGELOG})
install(FILES ${VXU_CHANGELOG} cmake/debian/copyright DESTINATION share/doc/vxupdater-tools)
install(FILES ${VXU_MAN_PAGES} DESTINATION share/man/man1)
install(FILES cmake/debian/lintian-overrides DESTINATION share/lintian/overrides RENAME vxupdater-tools)

set(CPACK_PACKAGE_NAME vxupdater-tools)
set(CPACK_PACKAGE_VENDOR "vxupdater developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host tools of the handheld's firmware updater")
set(CPACK_PACKAGE_DESCRIPTION
    "Release engineers build, check, sign and inspect update packages of the\n\
handheld with vxpack, make simulated devices and flash images with vxdevice,\n\
and dry-run a package on a whole fleet of simulated devices with vxfleet,\n\
which runs the updater itself against each of them.  vxstamp stamps the\n\
updater label of a linked updater executable.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(VXU_MAINTAINER "vxupdater developers <vxupdater-devel@example.org>"
    CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VXU_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies from dpkg-shlibdeps, over every ELF file in the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# CPack would call ldconfig from generated maintainer scripts because the device
# libraries lie below /usr/lib, but they are no public libraries: nothing links them and
# the linker cache must not know them.  Naming scripts of our own turns the generated
# ones off; there are none to ship, so the names point nowhere.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/none/postinst
    ${CMAKE_BINARY_DIR}/packaging/none/postrm)
include(CPack)
