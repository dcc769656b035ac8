# The Debian package, made by CPack from the install rules:
#   cmake --build build && (cd build && cpack -G DEB)
# gives build/corvameter-remote_<version>_amd64.deb. Its dependencies are
# worked out from the binaries by dpkg-shlibdeps.

set(deb_doc ${CMAKE_INSTALL_DATADIR}/doc/corvameter-remote)
set(deb_out ${CMAKE_BINARY_DIR}/deb)
file(MAKE_DIRECTORY ${deb_out})

# The package's changelog, and the copyright file every package carries.
string(TIMESTAMP deb_date "%a, %d %b %Y 00:00:00 +0000" UTC)
set(CORVA_DEB_MAINTAINER "Corvameter Remote Maintainers <corvameter-remote@example.org>"
    CACHE STRING "Maintainer named in the Debian package")
file(WRITE ${deb_out}/changelog
  "corvameter-remote (${PROJECT_VERSION}) stable; urgency=medium\n\n"
  "  * Debian package of version ${PROJECT_VERSION}.\n\n"
  " -- ${CORVA_DEB_MAINTAINER}  ${deb_date}\n")
add_custom_command(OUTPUT ${deb_out}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${deb_out}/changelog ${deb_out}/changelog.tmp
  COMMAND gzip -9 -n -f ${deb_out}/changelog.tmp
  COMMAND ${CMAKE_COMMAND} -E rename ${deb_out}/changelog.tmp.gz ${deb_out}/changelog.gz
  DEPENDS ${deb_out}/changelog
  VERBATIM)
add_custom_target(deb_docs ALL DEPENDS ${deb_out}/changelog.gz)
install(FILES ${deb_out}/changelog.gz ${PROJECT_SOURCE_DIR}/dist/copyright DESTINATION ${deb_doc})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvameter-remote)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CORVA_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote control for the Brisko Corvameter test instrument")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Copies the screen of the Brisko Corvameter, a video and audio test
instrument attached by USB through an FTDI chip, into a window, once or
continuously; stores and reloads those pictures as bitmap files; downloads,
prints and erases the instrument's error log. The command-line tool corvactl
does the same without a window, and serves the instrument's live screen,
buttons, a JSON API and metrics to browsers and scripts that hold its token,
also as the systemd service corvameter-serve (not enabled). A udev rule
gives the user logged in at the machine, and the group plugdev, access to
the instrument.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The udev rule applied at install and removal (dist/postinst, dist/postrm),
# the service stopped at removal (dist/prerm), and its options file kept as
# the administrator changed it.
file(WRITE ${deb_out}/conffiles "/etc/default/corvameter-serve\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/postinst ${PROJECT_SOURCE_DIR}/dist/prerm
    ${PROJECT_SOURCE_DIR}/dist/postrm)
if(CORVA_HAVE_SERVE)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb_out}/conffiles)
endif()
set(CPACK_STRIP_FILES ON)
# Installed under /usr; DESTDIR staging keeps install-time paths (the menu
# entry's Path= and Exec=) those of the installed system.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
include(CPack)
