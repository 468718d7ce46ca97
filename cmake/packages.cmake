# Packages, each with a SHA-256 file beside it for sha256sum -c:
#   cpack --preset release   swug-VERSION-Linux.tar.gz, static programs
#   cpack --preset deb       swug_VERSION_amd64.deb, for Debian
#   cpack --preset windows   swug-VERSION-win64.zip
# Two builds of one commit give the same bytes: every time in a package is
# SOURCE_DATE_EPOCH, or else the time of the last commit (cpack-config.cmake),
# and every file's owner, mode and place in the archive is fixed by
# tools/reproducible-archive.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "extract, inspect, verify and build firmware upgrade images")
string(JOIN "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A firmware upgrade image is a 40-byte header (a marker, a version text,"
  "the payload length and an additive checksum) followed by the payload."
  "swug writes the bare payload of an image to a file of its own,"
  "interactively or silently from scripts, and never leaves a wrong or"
  "half-written output behind."
  ""
  "swugimg shows an image's header and digests, also as JSON, checks images"
  "before they are flashed, against release keys with minisign or signify"
  "signatures, and builds images from a payload.")
set(CPACK_PACKAGE_CONTACT "${SWUG_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_SWUG_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-config.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-post-build.cmake)
include(CPack)
