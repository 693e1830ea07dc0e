# A manual page for each program in bin/, made from its --help by help2man. They form the "man"
# component, which a plain `cmake --install` leaves out (the self-uninstall removes exactly what
# that install puts on the machine); the Debian packages install it (debian/rules).

# One line each for the manual pages' NAME section.
set(ampwarden_summary_ampwardenctl "post the battery helper's commands and print its answers")
set(ampwarden_summary_ampwarden-smc "read, write and list the SMC's keys and drive its fans")
set(ampwarden_summary_ampwarden-smc-emulator "serve an emulated SMC on a Unix socket")

set(ampwarden_manual_pages)
find_program(AMPWARDEN_HELP2MAN help2man)
if(NOT AMPWARDEN_HELP2MAN)
  message(WARNING "help2man is not installed: no manual pages are made")
endif()
foreach(program ${AMPWARDEN_TOOL_PROGRAMS})
  if(NOT DEFINED ampwarden_summary_${program})
    message(FATAL_ERROR "packaging/ManualPages.cmake has no manual page summary for ${program}")
  endif()
  if(NOT AMPWARDEN_HELP2MAN)
    continue()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${AMPWARDEN_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
            --name=${ampwarden_summary_${program}} --output=${page} $<TARGET_FILE:${program}>
    DEPENDS ${program}
    COMMENT "Writing the manual page of ${program}"
    VERBATIM)
  list(APPEND ampwarden_manual_pages ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT man EXCLUDE_FROM_ALL)
endforeach()
add_custom_target(ampwarden_manual_pages ALL DEPENDS ${ampwarden_manual_pages})
