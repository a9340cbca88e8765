# What `make install` puts on a machine, and the .deb of `make package`:
#   PREFIX/bin/NorvaHB, PREFIX/bin/norva-device,
#   PREFIX/share/icons/hicolor/scalable/apps/norvahb.svg,
#   PREFIX/share/applications/norvahb.desktop (the menu entry),
#   /etc/xdg/autostart/norvahb.desktop (starts the utility in the tray at login).
# The autostart entry goes to /etc/xdg/autostart whatever the prefix, because that is the one
# folder desktops read at login; DESTDIR still applies to it.
#
# The service (norvahbd) adds:
#   PREFIX/bin/norvahbd (once that program is built),
#   the unit norvahbd.service and the sysusers.d entry norvahb.conf (the user it runs as),
#   the bus policy com.norva.NorvaHB1.conf, the polkit actions com.norva.NorvaHB1.policy and
#   the polkit rule 50-norvahbd.rules, and the interface com.norva.NorvaHB1.xml.
# Each goes where the daemon that reads it looks (see norva_service_destinations below): under
# /usr (the package) to the distribution's folders, under any other prefix to that prefix's
# systemd folders and to the local administrator's /etc folders of the bus and polkit. The
# polkit actions go to /usr/share/polkit-1/actions whatever the prefix: polkitd reads no other
# folder. The Makefile's `uninstall` keeps the same list.
include(GNUInstallDirs)

foreach(program NorvaHB norva-device norvahbd)
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

# The service's files. `cmake --install --prefix` may change the prefix after configuring, so
# the destinations and the unit's ExecStart= are worked out at install time, like the desktop
# entries above. The unit does not depend on the norvahbd target: it is only text.
set(norva_pkg ${PROJECT_SOURCE_DIR}/packaging)
install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    if(prefix STREQUAL \"/usr\")
        # Debian 12 packages keep their units in /lib/systemd/system.
        set(unitdir /lib/systemd/system)
        set(sysusersdir /usr/lib/sysusers.d)
        set(busdir /usr/share/dbus-1/system.d)
        set(rulesdir /usr/share/polkit-1/rules.d)
    else()
        set(unitdir \"\${prefix}/lib/systemd/system\")
        set(sysusersdir \"\${prefix}/lib/sysusers.d\")
        set(busdir /etc/dbus-1/system.d)
        set(rulesdir /etc/polkit-1/rules.d)
    endif()
    set(NORVA_BINDIR \"\${prefix}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${norva_pkg}/systemd/norvahbd.service.in\"
                   \"${norva_entries}/systemd/norvahbd.service\" @ONLY)
    file(INSTALL DESTINATION \"\${unitdir}\" TYPE FILE
         FILES \"${norva_entries}/systemd/norvahbd.service\")
    file(INSTALL DESTINATION \"\${sysusersdir}\" TYPE FILE
         FILES \"${norva_pkg}/systemd/norvahb.sysusers.conf\" RENAME norvahb.conf)
    file(INSTALL DESTINATION \"\${busdir}\" TYPE FILE
         FILES \"${norva_pkg}/dbus/com.norva.NorvaHB1.conf\")
    file(INSTALL DESTINATION /usr/share/polkit-1/actions TYPE FILE
         FILES \"${norva_pkg}/polkit/com.norva.NorvaHB1.policy\")
    file(INSTALL DESTINATION \"\${rulesdir}\" TYPE FILE
         FILES \"${norva_pkg}/polkit/50-norvahbd.rules\")
    file(INSTALL DESTINATION \"\${prefix}/${CMAKE_INSTALL_DATADIR}/dbus-1/interfaces\"
         TYPE FILE FILES \"${norva_pkg}/dbus/com.norva.NorvaHB1.xml\")
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
# The maintainer scripts make the service's user and enable, start, stop and forget the unit.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# postinst creates the user with adduser; shlibdeps adds the libraries to this list.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
