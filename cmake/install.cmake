# Installing the programs and the manual page (`make install`, `make
# uninstall`).
include(GNUInstallDirs)

# The manual page, with the version of project().
set(DTK_MANUAL_PAGE ${PROJECT_BINARY_DIR}/dtk.1)
configure_file(doc/dtk.1.in ${DTK_MANUAL_PAGE} @ONLY)

install(TARGETS dtk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# dtk-mpi exists only where MPI was found, and it may be defined after this
# file is read; the rule is added once the whole project has been read.
function(dtk_install_mpi_program)
  if(TARGET dtk-mpi)
    install(TARGETS dtk-mpi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()
cmake_language(DEFER CALL dtk_install_mpi_program)

if(WIN32)
  return()
endif()

# Manual pages are installed compressed; -n keeps the build time out of the
# file.
find_program(DTK_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT ${DTK_MANUAL_PAGE}.gz
  COMMAND ${DTK_GZIP} -9 -n -k -f ${DTK_MANUAL_PAGE}
  DEPENDS ${DTK_MANUAL_PAGE}
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(manual_page ALL DEPENDS ${DTK_MANUAL_PAGE}.gz)
install(FILES ${DTK_MANUAL_PAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
