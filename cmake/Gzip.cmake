# Compresses one file with gzip -9n.
#   cmake -DGZIP=<gzip> -DINPUT=<file> -DOUTPUT=<file.gz> -P Gzip.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${GZIP} -9nc ${INPUT} OUTPUT_FILE ${OUTPUT}.part RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT}.part)
  message(FATAL_ERROR "gzip ${INPUT} failed: ${result}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
