# Checks the run paths (RUNPATH and RPATH) of built ELF files: every entry
# must be an absolute folder or one starting with $ORIGIN. The loader reads
# an empty entry, and any other relative one, against the working folder, so
# a program started elsewhere could load libraries from there.
#   cmake -DREADELF=<readelf> -DFILES=<path;path;...> -P CheckRunpath.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/ObjdumpChecks.cmake)

if(NOT READELF OR NOT FILES)
  message(FATAL_ERROR "usage: cmake -DREADELF=<readelf> -DFILES=<paths> -P CheckRunpath.cmake")
endif()

set(faults)
foreach(file IN LISTS FILES)
  run_tool(dynamic ${READELF} -d ${file})
  string(REGEX MATCHALL "\\((RUNPATH|RPATH)\\)[^\n]*\\[[^]\n]*\\]" entries "${dynamic}")
  foreach(entry IN LISTS entries)
    string(REGEX MATCH "^\\(([A-Z]+)\\)" tag "${entry}")
    set(tag ${CMAKE_MATCH_1})
    string(REGEX REPLACE "^[^[]*\\[(.*)\\]$" "\\1" value "${entry}")
    message(STATUS "${file}: ${tag} [${value}]")
    if(value STREQUAL "" OR value MATCHES "^:" OR value MATCHES ":$" OR value MATCHES "::")
      list(APPEND faults "${file}: ${tag} [${value}] has an empty entry")
    endif()
    string(REPLACE ":" ";" folders "${value}")
    foreach(folder IN LISTS folders)
      if(folder STREQUAL "")
        continue()
      endif()
      if(NOT folder MATCHES "^(/|\\$ORIGIN(/|$)|\\$\\{ORIGIN\\}(/|$))")
        list(APPEND faults "${file}: ${tag} [${value}] has the relative entry '${folder}'")
      endif()
    endforeach()
  endforeach()
endforeach()

if(faults)
  list(JOIN faults "\n" text)
  message(FATAL_ERROR "run paths with entries read against the working folder:\n${text}")
endif()
list(LENGTH FILES count)
message(STATUS "run paths of ${count} files: no empty or relative entry")
