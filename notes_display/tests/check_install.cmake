# Installs Quorle's components into a scratch prefix (the runtime alone
# first: the shared object and nothing to build with), then builds and runs a
# consumer found through find_package(Quorle) and one built with the flags of
# pkg-config.
#   -DBUILD_DIR -DWORK_DIR -DCONSUMER_DIR -DGENERATOR -DC_COMPILER -DLIBDIR -DINCLUDEDIR
#   -DSANITIZERS=<list or empty>
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component quorle_runtime)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${prefix} ${prefix}/*)
list(SORT installed)
# Beside the shared object, only its documents (license, changelogs).
set(shared_object ${installed})
list(FILTER shared_object EXCLUDE REGEX "^share/")
if(NOT shared_object STREQUAL "${LIBDIR}/libQuorle.so.6;${LIBDIR}/libQuorle.so.6.3.0")
  message(FATAL_ERROR "the runtime component installed: ${installed}")
endif()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component quorle_development)
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
list(SORT installed)
foreach(expected ${INCLUDEDIR}/quorle.h ${LIBDIR}/libQuorle.so ${LIBDIR}/libQuorle.so.6
    ${LIBDIR}/libQuorle.so.6.3.0 ${LIBDIR}/cmake/Quorle/QuorleConfig.cmake
    ${LIBDIR}/cmake/Quorle/QuorleConfigVersion.cmake ${LIBDIR}/cmake/Quorle/QuorleTargets.cmake
    ${LIBDIR}/pkgconfig/quorle.pc)
  if(NOT expected IN_LIST installed)
    message(FATAL_ERROR "not installed: ${expected}\ninstalled: ${installed}")
  endif()
endforeach()

# CMake consumer.
# A library built with sanitizers needs their runtime in the consumer too.
set(sanitize_flags)
if(SANITIZERS)
  set(sanitize_flags -fsanitize=${SANITIZERS})
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-consumer -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${sanitize_flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-consumer)
run(${WORK_DIR}/cmake-consumer/quorle_consumer ${CONSUMER_DIR}/consumer.c)

# pkg-config consumer.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(pkg-config --modversion quorle)
if(NOT run_output MATCHES "^6\\.3\\.0")
  message(FATAL_ERROR "pkg-config version: ${run_output}")
endif()
# The prefix is written out, not found relative to the file.
file(STRINGS ${prefix}/${LIBDIR}/pkgconfig/quorle.pc prefix_line REGEX "^prefix=")
if(NOT prefix_line STREQUAL "prefix=${prefix}")
  message(FATAL_ERROR "quorle.pc says ${prefix_line}, installed under ${prefix}")
endif()
run(pkg-config --cflags --libs quorle)
separate_arguments(flags UNIX_COMMAND "${run_output}")
run(${C_COMPILER} ${sanitize_flags} ${CONSUMER_DIR}/consumer.c ${flags} -Wl,-rpath,${prefix}/${LIBDIR} -o ${WORK_DIR}/pc-consumer)
run(${WORK_DIR}/pc-consumer ${CONSUMER_DIR}/consumer.c)
file(REMOVE_RECURSE ${WORK_DIR})
