# Checks a Windows build of Quorle.dll with objdump -p: the export table holds
# exactly PNDisplayFile at ordinal 1 and PNFileAvailable at ordinal 2, under
# their plain names, and the library imports from KERNEL32 and msvcrt only
# (no C++ or GCC runtime DLLs).
#   -DOBJDUMP=<objdump> -DLIBRARY=<Quorle.dll>
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ObjdumpChecks.cmake)
run_tool(dump ${OBJDUMP} -p ${LIBRARY})

# The name table lists "[ <ordinal - base>] <name>" per exported name.
if(NOT dump MATCHES "Export Address Table -- Ordinal Base ([0-9]+)")
  message(FATAL_ERROR "no export table in ${LIBRARY}")
endif()
set(base ${CMAKE_MATCH_1})
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([^\n]+\n)*)" table "${dump}")
set(table "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "[^\n]+" rows "${table}")
set(exports)
foreach(row IN LISTS rows)
  if(row MATCHES "^[ \t]*\\[ *([0-9]+)\\][ \t]+([^ \t]+)$")
    math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
    list(APPEND exports "${ordinal}=${CMAKE_MATCH_2}")
  else()
    list(APPEND exports "unparsed: ${row}")
  endif()
endforeach()
if(NOT exports STREQUAL "1=PNDisplayFile;2=PNFileAvailable")
  message(FATAL_ERROR "export table:\n${table}\nexpected PNDisplayFile at ordinal 1 and PNFileAvailable at 2, nothing else")
endif()
if(NOT dump MATCHES "Export Address Table -- Ordinal Base 1\n[^\n]*\n[^\n]*\n\n")
  string(REGEX MATCH "Export Address Table[^\n]*\n(([^\n]+\n)*)" address_table "${dump}")
  message(FATAL_ERROR "the export address table must hold exactly two entries:\n${address_table}")
endif()

objdump_imported_dlls("${dump}" dlls)
if(NOT dlls STREQUAL "KERNEL32.DLL;MSVCRT.DLL")
  message(FATAL_ERROR "Quorle.dll imports from: ${dlls}\nexpected KERNEL32 and msvcrt only")
endif()
message(STATUS "exports: ${exports}; imports: ${dlls}")
