# Checks when an install refreshes the loader's cache (RunLdconfig.cmake):
# only for an install straight into a folder the loader searches. A fake
# ldconfig first on PATH lists the folders and records each refresh.
#   cmake -DSCRIPT=<RunLdconfig.cmake> -DWORK_DIR=<scratch> -P check_ldconfig.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORK_DIR})
set(system ${WORK_DIR}/system)
set(private ${WORK_DIR}/private)
file(MAKE_DIRECTORY ${WORK_DIR}/bin ${system}/lib/multiarch ${private}/lib ${WORK_DIR}/alias)
file(CREATE_LINK ${system}/lib ${WORK_DIR}/alias/lib SYMBOLIC)
set(log ${WORK_DIR}/refreshes)
file(WRITE ${WORK_DIR}/bin/ldconfig "#!/bin/sh
if [ \"$*\" = '-v -N -X' ]; then
  printf '%s\\n' '${system}/lib/multiarch: (from /etc/ld.so.conf.d/arch.conf:1)' \\
    '\tlibc.so.6 -> libc.so.6' '${WORK_DIR}/alias/lib: (from <builtin>:0)'
else
  echo \"refresh $*\" >> '${log}'
fi
")
file(CHMOD ${WORK_DIR}/bin/ldconfig PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

# The install script of two components that both install libraries.
file(WRITE ${WORK_DIR}/install.cmake "include(${SCRIPT})\ninclude(${SCRIPT})\n")

# prefix | libdir | DESTDIR | refreshes
set(rows
  "${system}|lib/multiarch||1"
  "${system}|lib||1"
  "${system}|${system}/lib/multiarch||1"
  "${system}|lib/multiarch|${WORK_DIR}/stage|0"
  "${private}|lib||0"
  "${system}|lib/multiarch/sub||0")
file(MAKE_DIRECTORY ${system}/lib/multiarch/sub)
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 prefix)
  list(GET fields 1 libdir)
  list(GET fields 2 destdir)
  list(GET fields 3 expected)
  file(REMOVE ${log})
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "PATH=${WORK_DIR}/bin:$ENV{PATH}" "DESTDIR=${destdir}"
      ${CMAKE_COMMAND} -DCMAKE_INSTALL_PREFIX=${prefix} -DPARPORT_LDCONFIG_LIBDIR=${libdir}
      -P ${WORK_DIR}/install.cmake
    RESULT_VARIABLE result OUTPUT_QUIET)
  set(refreshes 0)
  if(EXISTS ${log})
    file(STRINGS ${log} lines)
    list(LENGTH lines refreshes)
  endif()
  if(NOT result EQUAL 0 OR NOT refreshes EQUAL expected)
    message(SEND_ERROR "prefix ${prefix}, libdir ${libdir}, DESTDIR '${destdir}': "
      "${refreshes} refreshes (expected ${expected}), status ${result}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK_DIR})
