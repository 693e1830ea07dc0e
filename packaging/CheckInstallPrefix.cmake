# Runs at install time, before any file is installed. The helper has its install paths compiled
# in (its uninstall removes them), so files installed under another prefix than the one the
# build was configured with would be missed by that uninstall.
string(REGEX REPLACE "(.)/+$" "\\1" ampwarden_prefix "${CMAKE_INSTALL_PREFIX}")
if(NOT ampwarden_prefix STREQUAL AMPWARDEN_CONFIGURED_PREFIX)
  message(FATAL_ERROR "This build installs under ${AMPWARDEN_CONFIGURED_PREFIX}, not "
                      "${CMAKE_INSTALL_PREFIX}: configure it with "
                      "-DCMAKE_INSTALL_PREFIX=${CMAKE_INSTALL_PREFIX} to install there.")
endif()
