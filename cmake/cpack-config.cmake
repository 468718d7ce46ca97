# Read by cpack for every generator. The .deb takes its times from
# SOURCE_DATE_EPOCH, which the configuration chose.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_SOURCE_DATE_EPOCH}")
