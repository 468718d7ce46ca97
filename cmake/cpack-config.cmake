# Read by cpack for every generator: the one time every package carries.
# SOURCE_DATE_EPOCH when it is set; otherwise the time of the last commit,
# or, outside a git checkout, that of CHANGELOG.md. The .deb generator reads
# it from the environment, tools/reproducible-archive from the variable.
set(CPACK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(CPACK_SOURCE_DATE_EPOCH STREQUAL "")
  execute_process(COMMAND git -C ${CPACK_SWUG_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE CPACK_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(CPACK_SOURCE_DATE_EPOCH STREQUAL "")
  file(TIMESTAMP ${CPACK_SWUG_SOURCE_DIR}/CHANGELOG.md CPACK_SOURCE_DATE_EPOCH "%s" UTC)
endif()
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_SOURCE_DATE_EPOCH}")

# A .deb whose dependencies cannot be worked out would install where its
# programs cannot start; CPack itself only warns, so it is refused here.
if(CPACK_GENERATOR STREQUAL "DEB")
  cmake_policy(SET CMP0109 NEW)  # a program is what may be run
  find_program(SWUG_DPKG_SHLIBDEPS dpkg-shlibdeps)
  find_program(SWUG_FILE file)
  if(NOT SWUG_DPKG_SHLIBDEPS OR NOT SWUG_FILE)
    message(FATAL_ERROR "The .deb needs dpkg-shlibdeps and file to list its dependencies "
      "(Debian: apt-get install dpkg-dev file)")
  endif()
endif()
