# Makes the Windows zip with CPack and checks what it holds: exactly the
# files users get, binaries without debug information, importing only
# system DLLs (and, for Vestrel.exe, the port driver DlPortIO.dll).
#   -DBUILD_DIR -DCPACK -DOBJDUMP -DARCHIVE_NAME=<zip name without .zip>
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/ObjdumpChecks.cmake)

set(packages ${BUILD_DIR}/packages)
file(REMOVE_RECURSE ${packages})
execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -G ZIP
  WORKING_DIRECTORY ${BUILD_DIR} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
set(zip ${packages}/${ARCHIVE_NAME}.zip)
if(NOT result EQUAL 0 OR NOT EXISTS ${zip})
  message(FATAL_ERROR "cpack failed (${result}), or made no ${zip}:\n${out}")
endif()

set(unpacked ${packages}/unpacked)
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${unpacked}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${zip}")
endif()
set(top ${unpacked}/${ARCHIVE_NAME})
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${top} ${top}/*)
list(SORT files)
file(SIZE ${zip} zip_size)
message(STATUS "${ARCHIVE_NAME}.zip: ${zip_size} bytes")
foreach(file IN LISTS files)
  file(SIZE ${top}/${file} size)
  message(STATUS "  ${size}\t${ARCHIVE_NAME}/${file}")
endforeach()

set(expected
  LICENSE.txt README.txt bin/Quorle.dll bin/Vestrel.exe include/quorle.h
  lib/Quorle.def lib/cmake/Quorle/QuorleConfig.cmake
  lib/cmake/Quorle/QuorleConfigVersion.cmake lib/cmake/Quorle/QuorleTargets.cmake
  lib/libQuorle.dll.a)
file(GLOB targets_for_config RELATIVE ${top} ${top}/lib/cmake/Quorle/QuorleTargets-*.cmake)
list(APPEND expected ${targets_for_config})
list(SORT expected)
if(NOT targets_for_config OR NOT files STREQUAL expected)
  message(FATAL_ERROR "the zip holds:\n  ${files}\nexpected:\n  ${expected}")
endif()

# Binary: allowed imports (upper case).
set(system_dlls ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL SHELL32.DLL USER32.DLL)
set(allowed_bin/Vestrel.exe ${system_dlls} DLPORTIO.DLL)
set(allowed_bin/Quorle.dll ${system_dlls})
foreach(binary bin/Vestrel.exe bin/Quorle.dll)
  run_tool(sections ${OBJDUMP} -h ${top}/${binary})
  if(sections MATCHES "\\.debug_[a-z_]+")
    message(SEND_ERROR "${binary} has debug information (${CMAKE_MATCH_0})")
  endif()
  run_tool(dump ${OBJDUMP} -p ${top}/${binary})
  objdump_imported_dlls("${dump}" dlls)
  foreach(dll IN LISTS dlls)
    if(NOT dll IN_LIST allowed_${binary})
      message(SEND_ERROR "${binary} imports ${dll}, which is not a system DLL")
    endif()
  endforeach()
  message(STATUS "${binary} imports: ${dlls}")
endforeach()
# The text files have Windows line ends. (Read as hex digits: file(READ)
# drops carriage returns from text. The files are ASCII, so a pair of digits
# can only match at a byte's start.)
foreach(text LICENSE.txt README.txt)
  file(READ ${top}/${text} content HEX)
  string(REGEX MATCHALL "0a" line_feeds "${content}")
  string(REGEX MATCHALL "0d0a" crlf "${content}")
  list(LENGTH line_feeds line_feeds)
  list(LENGTH crlf crlf)
  if(crlf EQUAL 0 OR NOT crlf EQUAL line_feeds)
    message(SEND_ERROR "${text}: ${crlf} of ${line_feeds} line ends are CR LF")
  endif()
endforeach()
