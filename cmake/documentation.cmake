# The manual pages, gzip-compressed without a name or time stamp (gzip -9n)
# as Debian wants them, and the documents beside the programs.
install(FILES README.md TYPE DOC)
if(SWUG_DEBIAN)
  # Debian's names: the licence as a machine-readable copyright file, made
  # from LICENSE, and the changelog compressed.
  file(READ LICENSE licence)
  string(REGEX REPLACE "^.*Copyright \\(c\\) ([^\n]*)\n\n" "" terms "${licence}")
  string(REGEX REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REGEX REPLACE "\n" "\n " terms "${terms}")
  string(REGEX REPLACE "\n $" "\n" terms "${terms}")
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" holder "${licence}")
  file(WRITE ${PROJECT_BINARY_DIR}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: swug\n\n"
    "Files: *\nCopyright: ${CMAKE_MATCH_1}\nLicense: Expat\n ${terms}")
  install(FILES ${PROJECT_BINARY_DIR}/copyright TYPE DOC)
  add_custom_command(OUTPUT changelog.gz
    COMMAND sh -c "\"$0\" \"$1\" \"$2\" | gzip -9n > changelog.gz" ${PROJECT_SOURCE_DIR}/tools/debian-changelog
      ${PROJECT_SOURCE_DIR}/CHANGELOG.md "${SWUG_MAINTAINER}"
    DEPENDS CHANGELOG.md tools/debian-changelog VERBATIM)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz TYPE DOC)
  set(outputs ${PROJECT_BINARY_DIR}/changelog.gz)
else()
  install(FILES LICENSE CHANGELOG.md TYPE DOC)
endif()
if(NOT WIN32)
  list(APPEND compressed doc/swug.1=swug.1 doc/swugimg.1=swugimg.1)
endif()

foreach(pair IN LISTS compressed)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 name)
  add_custom_command(OUTPUT ${name}.gz
    COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/${source} ${name}.gz
    DEPENDS ${source} VERBATIM)
  list(APPEND outputs ${PROJECT_BINARY_DIR}/${name}.gz)
  if(name MATCHES "[.]1$")
    install(FILES ${PROJECT_BINARY_DIR}/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${PROJECT_BINARY_DIR}/${name}.gz TYPE DOC)
  endif()
endforeach()
if(outputs)
  add_custom_target(documentation ALL DEPENDS ${outputs})
endif()

# Double-clicked in the unpacked folder, swug.exe finds the sample image in
# data\ and writes its payload into out\.
if(WIN32)
  install(FILES data/QUILMO_SW.bin DESTINATION data)
  install(DIRECTORY DESTINATION out)
endif()
