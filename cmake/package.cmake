# Read by cpack itself, which takes the time stamp of the package's files
# from its own environment.
if(CPACK_SOURCE_DATE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_SOURCE_DATE_EPOCH}")
endif()
