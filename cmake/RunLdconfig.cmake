# Install step after shared libraries: refreshes the loader's cache with
# ldconfig, but only when the libraries went straight into a folder the
# loader itself searches (one that `ldconfig -v -N -X` lists: the trusted
# folders and those of /etc/ld.so.conf). A staged install (DESTDIR, as the
# packages are made) or one into a private prefix leaves the system's cache
# alone. Runs at most once per install.
#
# Read from the install script: CMAKE_INSTALL_PREFIX, PARPORT_LDCONFIG_LIBDIR
# (the libraries' folder, below the prefix or absolute). The first ldconfig
# on PATH, then in /sbin or /usr/sbin, is used.
if(PARPORT_LDCONFIG_DONE OR NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
set(PARPORT_LDCONFIG_DONE TRUE)

if(IS_ABSOLUTE "${PARPORT_LDCONFIG_LIBDIR}")
  set(parport_libdir "${PARPORT_LDCONFIG_LIBDIR}")
else()
  set(parport_libdir "${CMAKE_INSTALL_PREFIX}/${PARPORT_LDCONFIG_LIBDIR}")
endif()
file(REAL_PATH "${parport_libdir}" parport_libdir)

find_program(PARPORT_LDCONFIG ldconfig PATHS /sbin /usr/sbin NO_CACHE)
if(NOT PARPORT_LDCONFIG)
  return()
endif()
# -N: no cache written, -X: no links made; the listing names each folder
# searched on a line of its own, ending in a colon.
execute_process(COMMAND ${PARPORT_LDCONFIG} -v -N -X
  OUTPUT_VARIABLE parport_listing ERROR_QUIET RESULT_VARIABLE parport_result)
string(REGEX MATCHALL "(^|\n)/[^\n\t:]*:" parport_folders "${parport_listing}")
foreach(parport_folder IN LISTS parport_folders)
  string(REGEX REPLACE "^\n?(.*):$" "\\1" parport_folder "${parport_folder}")
  file(REAL_PATH "${parport_folder}" parport_folder)
  if(parport_folder STREQUAL parport_libdir)
    message(STATUS "Updating the loader's cache: ${PARPORT_LDCONFIG}")
    execute_process(COMMAND ${PARPORT_LDCONFIG} RESULT_VARIABLE parport_result)
    if(NOT parport_result EQUAL 0)
      message(WARNING "ldconfig failed (${parport_result}): run it as root to find the new libraries")
    endif()
    return()
  endif()
endforeach()
