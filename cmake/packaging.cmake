# Installation layout and the Debian package (scripts/package builds it).
#
#   /usr/libexec/zelvo-helper/zelvo-helper   the daemon
#   /usr/bin/zelvoctl                        the command-line client
#   /lib/systemd/system/zelvo-helper.{socket,path,service}
#   /usr/share/doc/zelvo-helper/             README.md, copyright, changelog.gz
#   /usr/share/man/man1/zelvoctl.1.gz
#   /etc/logrotate.d/zelvo-helper            rotation of the kernel's log
include(GNUInstallDirs)

install(TARGETS zelvo-helper RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zelvo-helper)
install(TARGETS zelvoctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES deploy/zelvo-helper.socket deploy/zelvo-helper.path DESTINATION /lib/systemd/system)
# The service starts the daemon (and names its README) where this install put
# it: under /usr from the package, under <prefix> from `cmake --install --prefix
# <prefix>`. The prefix is known only when installing, so the unit is written then.
install(CODE "
  set(_exec \"${CMAKE_INSTALL_LIBEXECDIR}\")
  if(NOT IS_ABSOLUTE \"\${_exec}\")
    set(_exec \"\${CMAKE_INSTALL_PREFIX}/\${_exec}\")
  endif()
  file(READ \"${CMAKE_CURRENT_SOURCE_DIR}/deploy/zelvo-helper.service\" _unit)
  string(REPLACE \"/usr/libexec/zelvo-helper/\" \"\${_exec}/zelvo-helper/\" _unit \"\${_unit}\")
  string(REPLACE \"file:///usr/share/\" \"file://\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/\"
         _unit \"\${_unit}\")
  file(WRITE \"${CMAKE_CURRENT_BINARY_DIR}/zelvo-helper.service\" \"\${_unit}\")
  file(INSTALL DESTINATION /lib/systemd/system TYPE FILE
       FILES \"${CMAKE_CURRENT_BINARY_DIR}/zelvo-helper.service\")
")
install(FILES deploy/zelvo-helper.logrotate DESTINATION /etc/logrotate.d RENAME zelvo-helper)
set(_zelvo_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/zelvo-helper)
install(FILES README.md deploy/debian/copyright DESTINATION ${_zelvo_doc})

# Debian wants the (native package's) changelog compressed, reproducibly (no name, no time).
set(_zelvo_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
execute_process(COMMAND gzip -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/deploy/debian/changelog
                OUTPUT_FILE ${_zelvo_changelog})
install(FILES ${_zelvo_changelog} DESTINATION ${_zelvo_doc})

# zelvoctl's manual page, compressed the same way.
set(_zelvo_manpage ${CMAKE_CURRENT_BINARY_DIR}/zelvoctl.1.gz)
execute_process(COMMAND gzip -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/deploy/zelvoctl.1
                OUTPUT_FILE ${_zelvo_manpage})
install(FILES ${_zelvo_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelvo-helper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "zelvo developers <dev@zelvo.net>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privileged helper of the zelvo proxy client")
# The long description; the synopsis above is its first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Runs as root on behalf of the zelvo desktop client: installs, launches\n\
and supervises the proxy kernel, switches the system proxy, flushes the\n\
DNS cache and keeps the network usable when the client or the kernel\n\
dies. Started on demand through a systemd socket; only root and members\n\
of the zelvo group may change anything through it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# pgrep/pkill find kernels; groupadd makes the owner group.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps, passwd")
# What the Linux host back end asks for its desktop work: logind's sessions,
# gsettings with the GNOME proxy schema and a backend that keeps settings, and
# each user's bus where it looks for it (/run/user/<uid>/bus).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "systemd, libglib2.0-bin, gsettings-desktop-schemas, dconf-gsettings-backend, dbus-user-session")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/deploy/debian/conffiles
    ${CMAKE_CURRENT_SOURCE_DIR}/deploy/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/deploy/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/deploy/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
