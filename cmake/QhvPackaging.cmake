# Install rules and the Debian package of QHVLogger.
#
#   make install [DESTDIR=...] [PREFIX=...]   programs, schema and demo data, the
#                                             service's configuration and its unit
#   make package                              qhvlogger_<version>_<arch>.deb (CPack)
#
# Paths follow GNUInstallDirs: with the prefix /usr the configuration goes to
# /etc/qhvlogger and the unit to /lib/systemd/system, with any other prefix
# below the prefix. The service's own folders are systemd's fixed ones:
# /var/lib/qhvlogger (StateDirectory, the drive root) and /var/log/qhvlogger
# (LogsDirectory, the process log).

set(QHV_PACKAGE_NAME qhvlogger)
set(QHV_PACKAGE_VERSION 1.0.0)

# The unit's folder follows the prefix at every configure unless given.
set(QHV_UNIT_DIR "" CACHE PATH "Where qhvlogger.service is installed (empty: by the prefix)")
if(QHV_UNIT_DIR)
  set(QHV_SYSTEMD_UNIT_DIR ${QHV_UNIT_DIR})
elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QHV_SYSTEMD_UNIT_DIR /lib/systemd/system)
else()
  set(QHV_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()

# Absolute paths written into the unit, the configuration and the maintainer scripts.
set(QHV_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(QHV_SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
set(QHV_DATADIR ${CMAKE_INSTALL_FULL_DATADIR}/${QHV_PACKAGE_NAME})
set(QHV_DOCDIR ${CMAKE_INSTALL_FULL_DATADIR}/doc/${QHV_PACKAGE_NAME})
set(QHV_SYSCTL_FILE ${CMAKE_INSTALL_PREFIX}/lib/sysctl.d/60-qhvlogger.conf)
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(QHV_ODBC_DRIVER_DIR /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/odbc)
else()
  set(QHV_ODBC_DRIVER_DIR /usr/lib/odbc)
endif()

set(qhv_packaging ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(qhv_generated ${CMAKE_CURRENT_BINARY_DIR}/packaging)
foreach(file qhvlogger.service odbc.ini odbcinst.ini log4cplus_configureQHV.ini debian/postinst)
  configure_file(${qhv_packaging}/${file}.in ${qhv_generated}/${file} @ONLY)
endforeach()

# The programs. qhvdump joins them once its target exists.
install(TARGETS qhvsim qhvctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET qhvdump)
  install(TARGETS qhvdump RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The system database: schema, demo rows and the script that builds the demo
# database and an ODBC set-up for it.
install(FILES db/schema.sql db/demo-data.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/${QHV_PACKAGE_NAME}/db)
install(PROGRAMS db/make-demo-db.sh DESTINATION ${CMAKE_INSTALL_DATADIR}/${QHV_PACKAGE_NAME}/db)

# The service: unit, its configuration (conffiles in the package) and the
# receive-buffer limit.
install(FILES ${qhv_generated}/qhvlogger.service DESTINATION ${QHV_SYSTEMD_UNIT_DIR})
install(FILES ${qhv_generated}/odbc.ini ${qhv_generated}/odbcinst.ini ${qhv_generated}/log4cplus_configureQHV.ini
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/qhvlogger)
install(FILES ${qhv_packaging}/qhvlogger.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
        RENAME qhvlogger)
install(FILES ${qhv_packaging}/60-qhvlogger.conf DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/sysctl.d)

# Documentation, with the example property file and the package's change log.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${qhv_packaging}/changelog)
execute_process(COMMAND gzip -9n -c ${qhv_packaging}/changelog
                OUTPUT_FILE ${qhv_generated}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
install(FILES README.md docs/service.md ${qhv_generated}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QHV_PACKAGE_NAME})
install(FILES ${qhv_generated}/log4cplus_configureQHV.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${QHV_PACKAGE_NAME}/examples)

# The Debian package. Its dependencies: what dpkg-shlibdeps finds for the
# programs, and the plug-ins loaded only at run time (the SQLite ODBC driver of
# the default data source and Qt's SQLite driver of the token store).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${QHV_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${QHV_PACKAGE_VERSION})
set(CPACK_PACKAGE_VENDOR "Valdrena Marine")
set(CPACK_PACKAGE_CONTACT "QHVLogger maintainers <qhvlogger@valdrena-marine.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "heave and P2X logger of a hydrographic survey system")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "QHVLogger records a motion sensor's UDP heave datagrams into .qhv files and\n"
    "its $PQRV sentences into .p2x files while survey logging is switched on by\n"
    "$ZELIX control sentences. It runs as the systemd service qhvlogger.service\n"
    "against the site's system database (ODBC data source NTRXDB).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqliteodbc, libqt5sql5-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sqlite3, gnuplot-nox")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql, systemd")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
configure_file(${qhv_packaging}/debian/conffiles.in ${qhv_generated}/debian/conffiles @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${qhv_generated}/debian/conffiles
    ${qhv_generated}/debian/postinst
    ${qhv_packaging}/debian/prerm
    ${qhv_packaging}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
