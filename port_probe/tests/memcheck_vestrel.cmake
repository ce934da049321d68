# One Vestrel run under valgrind's memcheck, against the simulated device, in
# a fresh folder (the vestrel_memcheck.* tests):
#   cmake -DVALGRIND=<valgrind> -DVESTREL=<program> -DDRIVER_DIR=<simulated
#         driver's folder> -DWORK=<folder> -DOUTCOME=<outcome> -P memcheck_vestrel.cmake
# OUTCOME names the run, and with it the request and the device:
#   success           LPT1, the device answers
#   no_answer         LPT1, the device's status has bit 4 clear
#   bad_port          LptPort=4
#   missing_port      no LptPort entry
#   access_refused    the driver refuses the first access (EPERM)
#   missing_argument  no request file name: the message on the console
# The run must end with status 0, leave the outcome's ReturnValue, and have
# memcheck report no error and no leaked or still-reachable block.
set(request "[Vestrel]\nLogFile=run.log\nLptPort=1\n")
set(status 0xFF)
set(refusal "")
set(arguments request.ini)
set(expected Failed)
if(OUTCOME STREQUAL "success")
  set(expected Success)
elseif(OUTCOME STREQUAL "no_answer")
  set(status 0xEF)
elseif(OUTCOME STREQUAL "bad_port")
  set(request "[Vestrel]\nLogFile=run.log\nLptPort=4\n")
elseif(OUTCOME STREQUAL "missing_port")
  set(request "[Vestrel]\nLogFile=run.log\n")
elseif(OUTCOME STREQUAL "access_refused")
  set(refusal EPERM)
elseif(OUTCOME STREQUAL "missing_argument")
  set(arguments)
  set(expected "")
else()
  message(FATAL_ERROR "unknown OUTCOME '${OUTCOME}'")
endif()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/request.ini "${request}")

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env
    LD_LIBRARY_PATH=${DRIVER_DIR} DLPORTIO_SIM_STATUS=${status} DLPORTIO_SIM_ERRNO=${refusal}
    ${VALGRIND} --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=all
      --errors-for-leak-kinds=all --track-origins=yes --log-file=${WORK}/memcheck.log
      --suppressions=${CMAKE_CURRENT_LIST_DIR}/static_cxx_runtime.supp
      ${VESTREL} ${arguments}
  WORKING_DIRECTORY ${WORK}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)

file(READ ${WORK}/memcheck.log log)
file(READ ${WORK}/request.ini after)
string(REGEX MATCH "ERROR SUMMARY: [0-9]+ errors" summary "${log}")
message("${OUTCOME}: exit ${result}, ${summary}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Vestrel under memcheck ended with ${result}:\n${output}\n${log}")
endif()
# Every block freed, but for the static C++ runtime's own pool (suppressed).
set(all_freed FALSE)
if(log MATCHES "All heap blocks were freed")
  set(all_freed TRUE)
elseif(log MATCHES "definitely lost: 0 bytes" AND log MATCHES "indirectly lost: 0 bytes"
       AND log MATCHES "possibly lost: 0 bytes" AND log MATCHES "still reachable: 0 bytes")
  set(all_freed TRUE)
endif()
if(NOT summary STREQUAL "ERROR SUMMARY: 0 errors" OR NOT all_freed)
  message(FATAL_ERROR "memcheck found errors or blocks not freed:\n${log}")
endif()
if(expected STREQUAL "")
  if(NOT after STREQUAL request)
    message(FATAL_ERROR "the request file changed without a request file name:\n${after}")
  endif()
elseif(NOT after MATCHES "ReturnValue=${expected}")
  message(FATAL_ERROR "expected ReturnValue=${expected}, the request file holds:\n${after}")
endif()
