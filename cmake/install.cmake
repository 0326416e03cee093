# Install rules. The Debian package (debian/) is built from these with dh's CMake build system.
#
# The service unit names absolute paths, so it is generated for the configured prefix.

include(GNUInstallDirs)

set(VANTREL_STATE_DIR "/var/lib/vantrel")
set(VANTREL_SERVICE_USER "vantrel")
# Relative paths are under the prefix. Debian 12's debhelper only handles units and rules below
# /lib, so debian/rules passes absolute paths there.
set(VANTREL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the service unit is installed")
set(VANTREL_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule is installed")

# The programs by their installed names (the client's target is vantrelClient, its program vantrel).
set(VANTREL_PROGRAMS vantrelRelay vantrel)
set(VANTREL_PROGRAM_TARGETS vantrelRelay vantrelClient)
if(TARGET vantrelRelaySim)
  list(APPEND VANTREL_PROGRAMS vantrelRelaySim)
  list(APPEND VANTREL_PROGRAM_TARGETS vantrelRelaySim)
endif()
install(TARGETS ${VANTREL_PROGRAM_TARGETS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${CMAKE_SOURCE_DIR}/mount-origin/ DESTINATION ${CMAKE_INSTALL_DATADIR}/vantrel/mount-origin)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vantrel-relay)
# The shape of the configuration documents vantrel backup writes, for other programs that read them.
install(FILES ${CMAKE_SOURCE_DIR}/docs/vantrel-configuration.schema.json DESTINATION ${CMAKE_INSTALL_DATADIR}/vantrel)
foreach(program ${VANTREL_PROGRAMS})
  install(FILES ${CMAKE_SOURCE_DIR}/docs/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

set(VANTREL_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_SOURCE_DIR}/packaging/vantrel-relay.service.in
               ${VANTREL_GENERATED_DIR}/vantrel-relay.service @ONLY)

# Installed, never enabled: the administrator decides whether the relay starts at boot.
install(FILES ${VANTREL_GENERATED_DIR}/vantrel-relay.service DESTINATION ${VANTREL_SYSTEMD_UNIT_DIR})
# The service's options, every one commented and explained; a conffile of the package.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/vantrel-relay.default DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/default
        RENAME vantrel-relay)
# Lets the dialout group and the logged-in user open the boards' serial devices.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/60-vantrel-relay.rules DESTINATION ${VANTREL_UDEV_RULES_DIR})
# The same two boards, announced to hardware-aware package tools.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/vantrel-relay.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
