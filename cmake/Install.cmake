# What `make install` puts on a machine, and the .deb of `make package`:
#   PREFIX/bin/NorvaHB, PREFIX/bin/norva-device,
#   PREFIX/share/icons/hicolor/scalable/apps/norvahb.svg,
#   PREFIX/share/applications/norvahb.desktop (the menu entry),
#   /etc/xdg/autostart/norvahb.desktop (starts the utility in the tray at login).
# The autostart entry goes to /etc/xdg/autostart whatever the prefix, because that is the one
# folder desktops read at login; DESTDIR still applies to it. The Makefile's `uninstall` keeps
# the same list.
include(GNUInstallDirs)

foreach(program NorvaHB norva-device)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/resources/power.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME norvahb.svg)

# Both entries name the program by its full path, so they work for a prefix outside PATH too.
# `cmake --install --prefix` can change the prefix after configuring, so the entries are
# written at install time, from the prefix in force then. (file(INSTALL) adds DESTDIR itself.)
set(norva_entries ${PROJECT_BINARY_DIR}/packaging)
install(CODE "
    set(NORVA_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/norvahb.desktop.in\"
                   \"${norva_entries}/applications/norvahb.desktop\" @ONLY)
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/norvahb-autostart.desktop.in\"
                   \"${norva_entries}/autostart/norvahb.desktop\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/applications\"
         TYPE FILE FILES \"${norva_entries}/applications/norvahb.desktop\")
    file(INSTALL DESTINATION \"/etc/xdg/autostart\"
         TYPE FILE FILES \"${norva_entries}/autostart/norvahb.desktop\")
")

# `make package`: a Debian package of the same files, installed under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvahb)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Heartbeat and graceful shutdown for the Norva network power controller")
set(CPACK_PACKAGE_DESCRIPTION
    "A tray utility that tells a Norva power controller that this PC is alive (UDP or USB \
serial heartbeats) and restarts or shuts the PC down cleanly when the controller asks over \
TCP port 9100. Includes norva-device, a simulated controller for trying it out.")
set(CPACK_PACKAGE_CONTACT "NorvaHB developers <norvahb@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# The autostart entry has an absolute destination: stage it under DESTDIR like the rest.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus")
# dpkg keeps a local edit of the autostart entry (say, a longer delay) across upgrades.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "/etc/xdg/autostart/norvahb.desktop\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
