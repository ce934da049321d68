# parport_version(<name> <major>.<minor>.<patch>.<tweak>): a deliverable's
# version, stated once in the top-level CMakeLists.txt. Sets, in the caller's
# scope:
#   <name>_VERSION                the four numbers as given
#   <name>_VERSION_MAJOR, _MINOR, _PATCH, _TWEAK
#                                 each number on its own
#   <name>_VERSION_COMMAS         the four numbers joined by commas, as a
#                                 version resource's FILEVERSION and
#                                 PRODUCTVERSION take them
# A version resource keeps each number in 16 bits, so none may exceed 65535.
function(parport_version name version)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "${name}: the version '${version}' is not four numbers joined by dots")
  endif()
  set(numbers ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
  foreach(number IN LISTS numbers)
    if(number GREATER 65535)
      message(FATAL_ERROR "${name}: ${number} in the version '${version}' does not fit in 16 bits")
    endif()
  endforeach()
  list(GET numbers 0 major)
  list(GET numbers 1 minor)
  list(GET numbers 2 patch)
  list(GET numbers 3 tweak)
  list(JOIN numbers "," commas)
  set(${name}_VERSION ${version} PARENT_SCOPE)
  set(${name}_VERSION_MAJOR ${major} PARENT_SCOPE)
  set(${name}_VERSION_MINOR ${minor} PARENT_SCOPE)
  set(${name}_VERSION_PATCH ${patch} PARENT_SCOPE)
  set(${name}_VERSION_TWEAK ${tweak} PARENT_SCOPE)
  set(${name}_VERSION_COMMAS ${commas} PARENT_SCOPE)
endfunction()
