# Runs at install time (cmake --install, CPack): writes a file that names the paths of the
# prefix being installed to, so that `cmake --install BUILD --prefix P` gives a systemd unit
# that runs P's relay and reads P's environment file, and a pkg-config file that points at P's
# library. DESTDIR is honoured by file(INSTALL).
# Set beforehand by the install rule: EVENTID_TEMPLATE (NAME.in), EVENTID_WRITTEN (NAME, in the
# build tree), EVENTID_DESTINATION, EVENTID_LIB_VERSION, and the bin, sysconf, lib and include
# directories as configured (EVENTID_INSTALL_*); each directory relative to the prefix, or
# absolute.
# The full paths, and for eventid.pc the same below ${prefix} where they lie under it.
foreach(dir BINDIR SYSCONFDIR LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${EVENTID_INSTALL_${dir}}")
    set(CMAKE_INSTALL_FULL_${dir} "${EVENTID_INSTALL_${dir}}")
    set(EVENTID_PC_${dir} "${EVENTID_INSTALL_${dir}}")
  else()
    set(CMAKE_INSTALL_FULL_${dir} "${CMAKE_INSTALL_PREFIX}/${EVENTID_INSTALL_${dir}}")
    set(EVENTID_PC_${dir} "\${prefix}/${EVENTID_INSTALL_${dir}}")
  endif()
endforeach()
set(EVENTID_ENVIRONMENT_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/eventid-relay")
if(NOT IS_ABSOLUTE "${EVENTID_DESTINATION}")
  set(EVENTID_DESTINATION "${CMAKE_INSTALL_PREFIX}/${EVENTID_DESTINATION}")
endif()
configure_file("${EVENTID_TEMPLATE}" "${EVENTID_WRITTEN}" @ONLY)
file(INSTALL DESTINATION "${EVENTID_DESTINATION}" TYPE FILE FILES "${EVENTID_WRITTEN}")
