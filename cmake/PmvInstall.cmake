# Install layout (GNUInstallDirs) and the one-line installation of a program.
#
#   pmv_install_program(<target> MANPAGE <name>.<section>.scd)
#
# installs the executable <target> to bin, turns the manual page source
# <name>.<section>.scd (scdoc format, path relative to the calling folder) into
# <build>/man/<name>.<section>.gz and installs it to share/man/man<section>.
# The program is also listed in <build>/pmv-programs.txt, from which
# scripts/check-package.sh knows which programs and pages the package must
# hold and which programs must answer --help and --version. So a new program
# of the suite needs one line in its CMakeLists.txt, for example
#
#   pmv_install_program(pmv-ports MANPAGE pmv-ports.1.scd)
#
# and a manual page with at least NAME, SYNOPSIS, DESCRIPTION and EXIT STATUS.
include(GNUInstallDirs)

# scdoc turns the manual page sources into man pages; the sources stay
# readable as plain text and need no running program to build.
find_program(PMV_SCDOC scdoc REQUIRED)
find_program(PMV_GZIP gzip REQUIRED)

set(PMV_MAN_DIR ${CMAKE_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${PMV_MAN_DIR})
set_property(GLOBAL PROPERTY PMV_PROGRAMS "")

function(pmv_install_program target)
  cmake_parse_arguments(P "" "MANPAGE" "" ${ARGN})
  if(NOT P_MANPAGE OR P_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "pmv_install_program(${target} MANPAGE <name>.<section>.scd)")
  endif()
  get_filename_component(source ${P_MANPAGE} ABSOLUTE)
  get_filename_component(page ${P_MANPAGE} NAME_WLE) # pmv-host.1
  if(NOT page MATCHES "\\.([1-9])$")
    message(FATAL_ERROR "${P_MANPAGE}: the name must end in .<section>.scd")
  endif()
  set(section ${CMAKE_MATCH_1})
  set(out ${PMV_MAN_DIR}/${page})
  add_custom_command(OUTPUT ${out}.gz
    COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${PMV_SCDOC} ${source} ${out}
    COMMAND ${PMV_GZIP} -9nf -k ${out}
    DEPENDS ${source}
    COMMENT "Manual page ${page}"
    VERBATIM)
  add_custom_target(${target}_manpage ALL DEPENDS ${out}.gz)

  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  set_property(GLOBAL APPEND PROPERTY PMV_PROGRAMS "${target} man${section}/${page}.gz")
endfunction()

# Once all folders are read: <build>/pmv-programs.txt, one line
# "<program> man<section>/<page>.gz" per installed program.
function(pmv_write_program_list)
  get_property(programs GLOBAL PROPERTY PMV_PROGRAMS)
  list(JOIN programs "\n" text)
  file(WRITE ${CMAKE_BINARY_DIR}/pmv-programs.txt "${text}\n")
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL pmv_write_program_list)
