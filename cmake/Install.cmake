# What `make install` puts on a machine, and the .deb of `make package`:
#   PREFIX/bin/NorvaHB, PREFIX/bin/norva-device, PREFIX/bin/norvactl (the service's command
#   line) with its bash completion PREFIX/share/bash-completion/completions/norvactl,
#   PREFIX/share/icons/hicolor/scalable/apps/norvahb.svg,
#   PREFIX/share/applications/norvahb.desktop (the menu entry),
#   /etc/xdg/autostart/norvahb.desktop (starts the utility in the tray at login).
# The autostart entry goes to /etc/xdg/autostart whatever the prefix, because that is the one
# folder desktops read at login; DESTDIR still applies to it.
#
# The service (norvahbd) adds:
#   PREFIX/bin/norvahbd (once that program is built),
#   the units norvahbd.service and norvahbd.socket (the command port, held from boot), the
#   sysusers.d entry norvahb.conf (the user it runs as),
#   the bus policy com.norva.NorvaHB1.conf, the polkit actions com.norva.NorvaHB1.policy and
#   the polkit rule 50-norvahbd.rules, and the interface com.norva.NorvaHB1.xml.
# Each goes where the daemon that reads it looks (see norva_service_destinations below): under
# /usr (the package) to the distribution's folders, under any other prefix to that prefix's
# systemd folders and to the local administrator's /etc folders of the bus and polkit. The
# polkit actions go to /usr/share/polkit-1/actions whatever the prefix: polkitd reads no other
# folder. The Makefile's `uninstall` keeps the same list.
include(GNUInstallDirs)

# The project's own mailbox: the package's Maintainer field, the changelog's sign-off and the
# copyright file's contact all come from here.
set(NORVA_MAINTAINER "NorvaHB developers <norvahb@norva.com>")

foreach(program NorvaHB norva-device norvahbd norvactl)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

# norvactl's bash completion, where bash-completion loads it on demand.
if(TARGET norvactl)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/norvactl
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

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
         FILES \"${norva_entries}/systemd/norvahbd.service\"
               \"${norva_pkg}/systemd/norvahbd.socket\")
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

# The documents every Debian package carries, and the manual pages. The changelog and the
# pages are compressed as Debian wants them (gzip -9n: no name or time stamp inside, so the
# same source gives the same bytes); the package is native, so the changelog is changelog.gz.
set(norva_docs ${PROJECT_BINARY_DIR}/packaging/doc)
set(norva_changelog ${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in)
file(STRINGS ${norva_changelog} norva_changelog_top LIMIT_COUNT 1)
string(REPLACE "." "\\." norva_version_pattern ${PROJECT_VERSION})
if(NOT norva_changelog_top MATCHES "^norvahb \\(${norva_version_pattern}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog.in begins with '${norva_changelog_top}', "
                        "but the project's version is ${PROJECT_VERSION}: add an entry for it")
endif()
configure_file(${norva_changelog} ${norva_docs}/changelog @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in ${norva_docs}/copyright @ONLY)

set(norva_compressed ${norva_docs}/changelog.gz)
add_custom_command(OUTPUT ${norva_docs}/changelog.gz
                   COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${norva_docs}/changelog
                           ${norva_docs}/changelog.gz
                   DEPENDS ${norva_docs}/changelog ${norva_changelog}
                   VERBATIM)
# Each program's page, installed when the program is built (norvactl's turns on by itself once
# that program has a target).
set(norva_pages NorvaHB.1 norvahbd.8 norvactl.1 norva-device.1)
set(norva_installed_pages)
foreach(page ${norva_pages})
    string(REGEX REPLACE "\\.([0-9])$" "" program ${page})
    string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
    set(source ${PROJECT_SOURCE_DIR}/man/${page})
    set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
    add_custom_command(OUTPUT ${compressed}
                       COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${compressed}
                       DEPENDS ${source}
                       VERBATIM)
    list(APPEND norva_compressed ${compressed})
    if(TARGET ${program})
        install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endif()
endforeach()
add_custom_target(norva_docs ALL DEPENDS ${norva_compressed})

file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
install(FILES ${norva_docs}/copyright ${norva_docs}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/norvahb)
# The lintian warnings this package keeps on purpose, each with its reason.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME norvahb)

# `make package`: a Debian package of the same files, installed under /usr.
# Lintian's verdict on it is the ctest packaging_lintian (tests/packaging); the warnings kept on
# purpose are in packaging/debian/lintian-overrides, each with its reason.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvahb)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Heartbeat and graceful shutdown for the Norva network power controller")
# One line per line of the control file's description (Debian wants them under 80 columns).
set(CPACK_PACKAGE_DESCRIPTION
    "A tray utility that tells a Norva power controller that this PC is alive
(UDP or USB serial heartbeats) and restarts or shuts the PC down cleanly when
the controller asks over TCP port 9100. The system service norvahbd does the
same from boot with nobody logged in; it is installed but not enabled.
Includes norva-device, a simulated controller for trying it out.")
set(CPACK_PACKAGE_CONTACT "${NORVA_MAINTAINER}")
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
