# Read by CPack as it starts: the archive's times are the configured date.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_DECODE_SOURCE_DATE_EPOCH}")
