# What a Debian 12 machine installs: the four programs in /usr/bin, the schema scripts and
# ODBC templates in /usr/share/tarvell, the service's INI (a conffile), unit and user, the
# man pages and the documentation; and the package that carries them (CPack, DEB), whose
# dependencies dpkg-shlibdeps derives from the programs. `bash scripts/package.sh` builds it
# from the release build.

include(GNUInstallDirs)

# Where this system keeps units and sysusers.d entries (Debian 12: /lib/systemd/system).
pkg_get_variable(TARVELL_UNIT_DIR systemd systemdsystemunitdir)
pkg_get_variable(TARVELL_SYSUSERS_DIR systemd sysusersdir)
if(NOT TARVELL_UNIT_DIR)
    set(TARVELL_UNIT_DIR /lib/systemd/system)
endif()
if(NOT TARVELL_SYSUSERS_DIR)
    set(TARVELL_SYSUSERS_DIR /usr/lib/sysusers.d)
endif()

install(TARGETS tarvell kdx-db xfer-dump xfer-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The ODBC templates name the drivers of this machine's architecture.
file(READ ${PROJECT_SOURCE_DIR}/etc/odbc/odbcinst.ini TARVELL_ODBCINST)
string(REPLACE "/usr/lib/x86_64-linux-gnu/" "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/"
       TARVELL_ODBCINST "${TARVELL_ODBCINST}")
file(WRITE ${PROJECT_BINARY_DIR}/package/odbcinst.ini "${TARVELL_ODBCINST}")
install(FILES ${PROJECT_SOURCE_DIR}/etc/schema/kdx-sqlite.sql
              ${PROJECT_SOURCE_DIR}/etc/schema/kdx-postgresql.sql
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvell/schema)
install(FILES ${PROJECT_SOURCE_DIR}/etc/odbc/odbc.ini ${PROJECT_BINARY_DIR}/package/odbcinst.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvell/odbc)
install(FILES ${PROJECT_SOURCE_DIR}/etc/KDX.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvell)

# The service: its INI (group-writable once the postinst gives it to the group tarvell),
# its unit and its user.
install(FILES ${PROJECT_SOURCE_DIR}/etc/tarvell.example.ini DESTINATION /etc/tarvell
        RENAME tarvell.ini PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${PROJECT_SOURCE_DIR}/etc/tarvell.service DESTINATION ${TARVELL_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/etc/sysusers.d/tarvell.conf
        DESTINATION ${TARVELL_SYSUSERS_DIR})

# Man pages, compressed as Debian keeps them; the version is this build's.
foreach(page tarvell.8 kdx-db.8 xfer-dump.1 xfer-sim.1)
    string(REGEX MATCH "[0-9]$" section ${page})
    set(TARVELL_VERSION ${PROJECT_VERSION})
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
    add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
        COMMAND gzip -9 -n -c ${PROJECT_BINARY_DIR}/man/${page} > ${PROJECT_BINARY_DIR}/man/${page}.gz
        DEPENDS ${PROJECT_BINARY_DIR}/man/${page} VERBATIM)
    list(APPEND TARVELL_MAN_PAGES ${PROJECT_BINARY_DIR}/man/${page}.gz)
    install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${TARVELL_MAN_PAGES})

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/OPERATIONS.md
              ${PROJECT_SOURCE_DIR}/docs/RELIABILITY.md ${PROJECT_SOURCE_DIR}/docs/SECURITY.md
              ${PROJECT_SOURCE_DIR}/docs/PERFORMANCE.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(TARVELL_PACKAGE_MAINTAINER "TARVELL developers <root@localhost>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "feeds the KDX seismic waveform archive from xfer waveform servers")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "TARVELL speaks the xfer transfer protocol to near-real-time waveform servers and turns\n"
    "their packets into the data files of a KDX archive, each registered as a row of the KDX\n"
    "database through ODBC (SQLite or PostgreSQL). It runs as a systemd service (or with a\n"
    "Qt operator window), with a status server, and comes with kdx-db (database set-up,\n"
    "channel rates, availability), xfer-dump and the test server xfer-sim.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVELL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link (unixODBC, Qt, libsystemd, ...) come from dpkg-shlibdeps;
# the rest is what the service and kdx-db use at run time: the user is made by
# systemd-sysusers (else adduser), and the database is reached through an ODBC driver that
# unixODBC loads, SQLite by default (kdx-db create).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd | adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsqliteodbc | odbc-postgresql, unixodbc")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql, postgresql, sqlite3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/etc/debian/postinst ${PROJECT_SOURCE_DIR}/etc/debian/prerm
    ${PROJECT_SOURCE_DIR}/etc/debian/postrm ${PROJECT_SOURCE_DIR}/etc/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
