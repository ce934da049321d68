# Checks a Windows build of Vestrel.exe with objdump -p: the windows (GUI)
# subsystem, and imports from exactly KERNEL32, USER32, msvcrt and DlPortIO.dll,
# of which only DlPortReadPortUchar and DlPortWritePortUchar.
#   -DOBJDUMP=<objdump> -DFILE=<Vestrel.exe>
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ObjdumpChecks.cmake)
run_tool(dump ${OBJDUMP} -p ${FILE})

if(NOT dump MATCHES "Subsystem[ \t]+00000002")
  message(FATAL_ERROR "not a windows-subsystem program:\n${dump}")
endif()

objdump_imported_dlls("${dump}" dlls)
if(NOT dlls STREQUAL "DLPORTIO.DLL;KERNEL32.DLL;MSVCRT.DLL;USER32.DLL")
  message(FATAL_ERROR "Vestrel imports from: ${dlls}\nexpected DlPortIO.dll, KERNEL32, msvcrt and USER32 only")
endif()

# The names imported from DlPortIO.dll: the lines after its "DLL Name" up to
# the next blank line ("<vma> <hint> <name>").
string(REGEX MATCH "DLL Name: DlPortIO\\.dll\n[^\n]*\n(([^\n]+\n)*)" block "${dump}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_@]*\n" names "${CMAKE_MATCH_1}")
string(REPLACE "\n" "" names "${names}")
list(SORT names)
if(NOT names STREQUAL "DlPortReadPortUchar;DlPortWritePortUchar")
  message(FATAL_ERROR "imported from DlPortIO.dll: ${names}\nexpected DlPortReadPortUchar and DlPortWritePortUchar")
endif()
message(STATUS "imports: ${dlls}; from DlPortIO.dll: ${names}")
