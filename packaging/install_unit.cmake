# Runs at install time (cmake --install, CPack): writes the systemd unit with the paths of the
# prefix being installed to, so that `cmake --install BUILD --prefix P` gives a unit that runs
# P's relay and reads P's environment file. DESTDIR is honoured by file(INSTALL).
# Set beforehand by the install rules: EVENTID_UNIT_TEMPLATE, EVENTID_UNIT_OUTPUT, and the
# bin and sysconf directories as configured (relative to the prefix, or absolute).
foreach(dir BINDIR SYSCONFDIR)
  if(IS_ABSOLUTE "${EVENTID_UNIT_${dir}}")
    set(full_${dir} "${EVENTID_UNIT_${dir}}")
  else()
    set(full_${dir} "${CMAKE_INSTALL_PREFIX}/${EVENTID_UNIT_${dir}}")
  endif()
endforeach()
# The names the template uses.
set(CMAKE_INSTALL_FULL_BINDIR "${full_BINDIR}")
set(EVENTID_ENVIRONMENT_FILE "${full_SYSCONFDIR}/default/eventid-relay")
configure_file("${EVENTID_UNIT_TEMPLATE}" "${EVENTID_UNIT_OUTPUT}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     FILES "${EVENTID_UNIT_OUTPUT}")
