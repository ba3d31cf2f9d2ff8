# Desktop integration of an installed Zorvane: the menu entries and icons of
# the agent and the diagnostics program, the user service that runs the
# agent without a display, and the units that run the web mail service (a
# system service with a user of its own, or a personal user service). The programs and the help pages are installed by
# the folders that build them.
#
#   cmake --install build --prefix ~/.local
#   systemctl --user enable --now zorvane
#
# The entries name the programs by their full path: a prefix such as
# ~/.local/bin is often not on the desktop's PATH. The path is worked out when
# installing, so --prefix and DESTDIR given then are honoured.

include(GNUInstallDirs)

set(ZORVANE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
get_filename_component(ZORVANE_PACKAGING_DIR ${ZORVANE_PACKAGING_DIR} ABSOLUTE)

# zorvane_install_with_paths(<source> <destination folder> <file name>):
# installs <source> with @ZORVANE_BINDIR@ and @ZORVANE_DATADIR@ replaced by
# the installed folders.
function(zorvane_install_with_paths source destination name)
  install(CODE "
    set(_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(_datadir \"${CMAKE_INSTALL_DATADIR}\")
    set(_dest \"${destination}\")
    foreach(_var _bindir _datadir _dest)
      if(NOT IS_ABSOLUTE \"\${\${_var}}\")
        set(\${_var} \"\${CMAKE_INSTALL_PREFIX}/\${\${_var}}\")
      endif()
    endforeach()
    file(READ \"${source}\" _text)
    string(REPLACE \"@ZORVANE_BINDIR@\" \"\${_bindir}\" _text \"\${_text}\")
    string(REPLACE \"@ZORVANE_DATADIR@\" \"\${_datadir}\" _text \"\${_text}\")
    set(_target \"\$ENV{DESTDIR}\${_dest}/${name}\")
    message(STATUS \"Installing: \${_target}\")
    file(WRITE \"\${_target}\" \"\${_text}\")
  ")
endfunction()

zorvane_install_with_paths(${ZORVANE_PACKAGING_DIR}/zorvane.desktop
  ${CMAKE_INSTALL_DATADIR}/applications zorvane.desktop)
zorvane_install_with_paths(${ZORVANE_PACKAGING_DIR}/zorvane-diagnostics.desktop
  ${CMAKE_INSTALL_DATADIR}/applications zorvane-diagnostics.desktop)

install(FILES ${ZORVANE_PACKAGING_DIR}/zorvane.svg ${ZORVANE_PACKAGING_DIR}/zorvane-diagnostics.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The user unit goes where systemd looks for the units of packages and of
# the user: <prefix>/share/systemd/user (for ~/.local: ~/.local/share/systemd/user).
zorvane_install_with_paths(${ZORVANE_PACKAGING_DIR}/zorvane.service
  ${CMAKE_INSTALL_DATADIR}/systemd/user zorvane.service)

# The web mail service: the system unit goes where systemd looks for the
# units of packages (<prefix>/lib/systemd/system, not the multiarch library
# folder), its system user is declared for systemd-sysusers, and the personal
# instance is a user unit beside the agent's.
zorvane_install_with_paths(${ZORVANE_PACKAGING_DIR}/zorvane-service.service
  lib/systemd/system zorvane-service.service)
install(FILES ${ZORVANE_PACKAGING_DIR}/zorvane-service.sysusers
        DESTINATION lib/sysusers.d RENAME zorvane-service.conf)
zorvane_install_with_paths(${ZORVANE_PACKAGING_DIR}/zorvane-service-user.service
  ${CMAKE_INSTALL_DATADIR}/systemd/user zorvane-service.service)

# The installed tree is checked by installing into a temporary prefix.
if(BUILD_TESTING)
  add_test(NAME e2e_install
           COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/e2e/test_install.py)
  set_tests_properties(e2e_install PROPERTIES
    LABELS e2e
    TIMEOUT 600
    ENVIRONMENT "ZORVANE_BUILD_DIR=${CMAKE_BINARY_DIR};ZORVANE_BIN_DIR=${CMAKE_BINARY_DIR}/bin;PYTHONDONTWRITEBYTECODE=1;QT_QPA_PLATFORM=offscreen")
endif()
