# Read by cpack.  Every file of the package is stamped with the date of the
# newest changelog entry, as dpkg does, so that any two builds of one tree,
# from git or from a tarball, give the same bytes.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
foreach(tool dpkg-parsechangelog dpkg-shlibdeps dpkg-architecture file)
  find_program(found_${tool} ${tool})
  if(NOT found_${tool})
    message(FATAL_ERROR "cpack -G DEB needs ${tool}: apt-get install dpkg-dev file")
  endif()
endforeach()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND dpkg-parsechangelog -l ${CPACK_ENCRYPT_VIDEO_CHANGELOG}
      -S Timestamp OUTPUT_VARIABLE date OUTPUT_STRIP_TRAILING_WHITESPACE
      COMMAND_ERROR_IS_FATAL ANY)
  set(ENV{SOURCE_DATE_EPOCH} ${date})
endif()
# A cross build's package is for its target, and dpkg-shlibdeps must look
# up that target's libraries.
execute_process(COMMAND dpkg-architecture -t ${CPACK_ENCRYPT_VIDEO_TARGET}
    -q DEB_HOST_ARCH OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${arch})
set(ENV{DEB_HOST_ARCH} ${arch})
