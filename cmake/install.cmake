# Install rules and the Debian package.
#
# The service unit and the maintainer scripts name absolute paths, so they are generated for the
# configured prefix; packages are built with -DCMAKE_INSTALL_PREFIX=/usr (see scripts/check-package).

include(GNUInstallDirs)

set(VANTREL_SHARE_DIR "${CMAKE_INSTALL_FULL_DATADIR}/vantrel")
set(VANTREL_STATE_DIR "/var/lib/vantrel")
set(VANTREL_SERVICE_USER "vantrel")

set(VANTREL_PROGRAMS vantrelRelay)
if(TARGET vantrelRelaySim)
  list(APPEND VANTREL_PROGRAMS vantrelRelaySim)
endif()
install(TARGETS ${VANTREL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${CMAKE_SOURCE_DIR}/mount-origin/ DESTINATION ${CMAKE_INSTALL_DATADIR}/vantrel/mount-origin)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vantrel-relay)
foreach(program ${VANTREL_PROGRAMS})
  install(FILES ${CMAKE_SOURCE_DIR}/docs/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

set(VANTREL_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_SOURCE_DIR}/packaging/vantrel-relay.service.in
               ${VANTREL_GENERATED_DIR}/vantrel-relay.service @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/postinst.in ${VANTREL_GENERATED_DIR}/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${CMAKE_SOURCE_DIR}/packaging/prerm.in ${VANTREL_GENERATED_DIR}/prerm @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Installed, never enabled: the administrator decides whether the relay starts at boot.
install(FILES ${VANTREL_GENERATED_DIR}/vantrel-relay.service DESTINATION lib/systemd/system)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vantrel-relay")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "vantrel relay maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Relay between the vantrel node-graph editor and vantrel controller boards")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libwebsockets17, libserialport0, libjsoncpp25, libssl3, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${VANTREL_GENERATED_DIR}/postinst ${VANTREL_GENERATED_DIR}/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
