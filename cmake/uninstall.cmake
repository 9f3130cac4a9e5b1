# Run by the uninstall target: removes what `cmake --install` put in, as the
# manifest it wrote lists it, and the project's own documentation folder once
# that is empty; nothing else, so that a shared folder such as bin stays.
#
#   cmake -DMANIFEST=FILE -DDOCDIR=share/doc/encrypt-video -P uninstall.cmake
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "Nothing to uninstall: there is no ${MANIFEST}, "
      "which cmake --install writes into the build folder it installs from.")
endif()
file(STRINGS "${MANIFEST}" installed)
foreach(file IN LISTS installed)
  if(NOT EXISTS "${file}" AND NOT IS_SYMLINK "${file}")
    message(STATUS "Gone already: ${file}")
    continue()
  endif()
  message(STATUS "Removing: ${file}")
  file(REMOVE "${file}")
  # file(REMOVE) is silent about a file it could not remove.
  if(EXISTS "${file}" OR IS_SYMLINK "${file}")
    message(FATAL_ERROR "Could not remove ${file}: run it as the user who installed")
  endif()
  get_filename_component(folder "${file}" DIRECTORY)
  if(folder MATCHES "/${DOCDIR}$")
    file(GLOB left LIST_DIRECTORIES true "${folder}/*" "${folder}/.*")
    if(NOT left)
      file(REMOVE_RECURSE "${folder}")
    endif()
  endif()
endforeach()
