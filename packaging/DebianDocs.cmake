# The Debian package's documentation, installed only as the "debian" component (see
# CMakeLists.txt): a manual page for each program in bin/ made from its --help by help2man, the
# machine-readable copyright file, the changelog and lintian's overrides.

set(AMPWARDEN_MAINTAINER "Ampwarden developers <dev@ampwarden.invalid>")
set(ampwarden_doc_destination "${CMAKE_INSTALL_DATADIR}/doc/ampwarden")

# One line each for the manual pages' NAME section.
set(ampwarden_summary_ampwardenctl "post the battery helper's commands and print its answers")
set(ampwarden_summary_ampwarden-smc "read, write and list the SMC's keys and drive its fans")
set(ampwarden_summary_ampwarden-smc-emulator "serve an emulated SMC on a Unix socket")

set(ampwarden_debian_outputs)
find_program(AMPWARDEN_HELP2MAN help2man)
if(NOT AMPWARDEN_HELP2MAN)
  message(WARNING "help2man is not installed: the Debian package will have no manual pages")
endif()
foreach(program ${AMPWARDEN_TOOL_PROGRAMS})
  if(NOT DEFINED ampwarden_summary_${program})
    message(FATAL_ERROR "packaging/DebianDocs.cmake has no manual page summary for ${program}")
  endif()
  if(NOT AMPWARDEN_HELP2MAN)
    continue()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${AMPWARDEN_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
            --name=${ampwarden_summary_${program}} --output=${page} $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program}
    COMMENT "Writing the manual page of ${program}"
    VERBATIM)
  list(APPEND ampwarden_debian_outputs ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT debian
          EXCLUDE_FROM_ALL)
endforeach()

# The changelog's newest entry carries the package's own version.
set(ampwarden_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian)
configure_file(deb/changelog.in ${ampwarden_changelog} @ONLY)
add_custom_command(
  OUTPUT ${ampwarden_changelog}.gz
  COMMAND gzip -9nkf ${ampwarden_changelog}
  DEPENDS ${ampwarden_changelog}
  VERBATIM)
list(APPEND ampwarden_debian_outputs ${ampwarden_changelog}.gz)
add_custom_target(ampwarden_debian_docs ALL DEPENDS ${ampwarden_debian_outputs})

install(FILES ${ampwarden_changelog}.gz deb/copyright DESTINATION ${ampwarden_doc_destination}
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES deb/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ampwarden COMPONENT debian EXCLUDE_FROM_ALL)
