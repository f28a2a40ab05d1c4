# Installing the programs, the manual pages and the bash completion (`make
# install`, `make uninstall`), and the Debian package that carries the same
# files (`make package`).
include(GNUInstallDirs)

# The manual pages, with the version of project().
set(DTK_MANUAL_PAGE ${PROJECT_BINARY_DIR}/dtk.1)
configure_file(doc/dtk.1.in ${DTK_MANUAL_PAGE} @ONLY)
set(DTK_REPORT_MANUAL_PAGE ${PROJECT_BINARY_DIR}/dtk-report.1)
configure_file(doc/dtk-report.1.in ${DTK_REPORT_MANUAL_PAGE} @ONLY)

install(TARGETS dtk dtk-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The bash completion of all three programs, under each one's name: what
# bash-completion loads when a command is first completed.
set(DTK_BASH_COMPLETION ${PROJECT_SOURCE_DIR}/completion/dtk.bash)
set(DTK_BASH_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
if(NOT WIN32)
  foreach(program dtk dtk-report)
    install(FILES ${DTK_BASH_COMPLETION} DESTINATION ${DTK_BASH_COMPLETION_DIR} RENAME ${program})
  endforeach()
endif()

# dtk-mpi exists only where MPI was found, and it may be defined after this
# file is read; the rule is added once the whole project has been read.
function(dtk_install_mpi_program)
  if(TARGET dtk-mpi)
    install(TARGETS dtk-mpi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${DTK_BASH_COMPLETION} DESTINATION ${DTK_BASH_COMPLETION_DIR} RENAME dtk-mpi)
  endif()
endfunction()
cmake_language(DEFER CALL dtk_install_mpi_program)

if(WIN32)
  return()
endif()

# Manual pages are installed compressed, as Debian packages carry them;
# -n keeps the build time out of the file.
find_program(DTK_GZIP gzip REQUIRED)
foreach(page ${DTK_MANUAL_PAGE} ${DTK_REPORT_MANUAL_PAGE})
  get_filename_component(name ${page} NAME)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${DTK_GZIP} -9 -n -k -f ${page}
    DEPENDS ${page}
    COMMENT "Compressing the manual page ${name}"
    VERBATIM)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(manual_page ALL DEPENDS ${DTK_MANUAL_PAGE}.gz ${DTK_REPORT_MANUAL_PAGE}.gz)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dtk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "dtk developers <dtk@localhost>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "dtk plans a deterministic tree of files and directories, writes it below a
target directory with pattern data, optionally reads every file back and
checks its CRC-32, and removes it again, reporting counts, bytes, time and
throughput for each phase. A tree can also be kept, verified after a
remount or a power cut, and removed by a later run. dtk-report compares
the JSON reports of runs in a table, as CSV or as a chart (with gnuplot).")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dtk-report --chart runs gnuplot; the rest works without it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS gnuplot-nox)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
