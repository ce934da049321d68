# Helpers for the checks of built binaries that run as CMake scripts
# (cmake -P): running a binary tool, and reading the output of objdump -p.

# run_tool(<out_var> <command> [<arg>...]): runs the command and sets
# <out_var> to its standard output; stops the script when the command fails.
function(run_tool out_var)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE output RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    string(JOIN " " command ${ARGN})
    message(FATAL_ERROR "failed (${result}): ${command}")
  endif()
  set(${out_var} "${output}" PARENT_SCOPE)
endfunction()

# objdump_imported_dlls(<dump> <out_var>): the DLLs named in the "DLL Name:"
# lines of an objdump -p dump, in upper case and sorted.
function(objdump_imported_dlls dump out_var)
  string(REGEX MATCHALL "DLL Name: [^\n]+" entries "${dump}")
  set(dlls)
  foreach(entry IN LISTS entries)
    string(REPLACE "DLL Name: " "" dll "${entry}")
    string(TOUPPER "${dll}" dll)
    list(APPEND dlls "${dll}")
  endforeach()
  list(SORT dlls)
  set(${out_var} "${dlls}" PARENT_SCOPE)
endfunction()
