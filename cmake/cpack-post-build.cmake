# Run by cpack once it has made a package, before it writes the checksum:
# the archives it makes list files in the order the file system gives, with
# the builder as their owner and modes the umask chose, so they are written
# again in a fixed form.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "[.](tar[.]gz|zip|deb)$")
    execute_process(COMMAND python3 ${CPACK_SWUG_SOURCE_DIR}/tools/reproducible-archive
      ${CPACK_SOURCE_DATE_EPOCH} ${package} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
