# Fuzz targets. Each target is one source with LLVMFuzzerTestOneInput plus
# the code it exercises, compiled into it, and a seed corpus in the source
# tree.
#
# - Every native build with tests makes <name>_replay (the target with a
#   plain driver instead of libFuzzer, any compiler) and registers the CTest
#   test <name>.replay, which runs every seed (label fuzz_replay).
# - With PARPORT_BUILD_FUZZERS (Clang only; the linux-fuzz preset) it also
#   makes <name>, the libFuzzer program built with AddressSanitizer and
#   UndefinedBehaviorSanitizer, and registers <name>.fuzz (label fuzz), which
#   fuzzes for PARPORT_FUZZ_SECONDS from a copy of the seeds and fails on a
#   finding; the input that broke it is kept under <build>/fuzz-findings and
#   printed in hex.
#
# The code under test is compiled into each target rather than linked from
# the project's libraries, so that the fuzzer's coverage and the sanitizers
# reach it; the libraries themselves stay uninstrumented for every other
# program.

option(PARPORT_BUILD_FUZZERS "Build the libFuzzer targets (needs Clang)" OFF)
# The default comes from the environment variable of the same name, if set.
set(parport_fuzz_seconds 60)
if(DEFINED ENV{PARPORT_FUZZ_SECONDS})
  set(parport_fuzz_seconds $ENV{PARPORT_FUZZ_SECONDS})
endif()
set(PARPORT_FUZZ_SECONDS ${parport_fuzz_seconds} CACHE STRING "How long each <name>.fuzz test fuzzes, in seconds")
if(PARPORT_BUILD_FUZZERS AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "PARPORT_BUILD_FUZZERS needs Clang (the linux-fuzz preset uses it)")
endif()

# parport_add_fuzzer(<name> CORPUS <dir> SOURCES <file>... [INCLUDES <dir>...])
function(parport_add_fuzzer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "CORPUS" "SOURCES;INCLUDES")
  if(NOT arg_CORPUS OR NOT arg_SOURCES)
    message(FATAL_ERROR "parport_add_fuzzer: CORPUS and SOURCES are required")
  endif()
  if(CMAKE_CROSSCOMPILING OR NOT PARPORT_BUILD_TESTS)
    return()
  endif()

  add_executable(${name}_replay ${arg_SOURCES} ${PROJECT_SOURCE_DIR}/testing/fuzz_replay_main.cpp)
  target_include_directories(${name}_replay PRIVATE ${arg_INCLUDES} ${PROJECT_SOURCE_DIR}/testing)
  add_test(NAME ${name}.replay COMMAND ${name}_replay ${arg_CORPUS})
  set_tests_properties(${name}.replay PROPERTIES LABELS fuzz_replay)

  if(PARPORT_BUILD_FUZZERS)
    add_executable(${name} ${arg_SOURCES})
    target_include_directories(${name} PRIVATE ${arg_INCLUDES} ${PROJECT_SOURCE_DIR}/testing)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined
                           -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    add_test(NAME ${name}.fuzz
      COMMAND ${CMAKE_COMMAND}
        -DFUZZER=$<TARGET_FILE:${name}>
        -DSEEDS=${arg_CORPUS}
        -DWORK=${PROJECT_BINARY_DIR}/fuzz-work/${name}
        -DFINDINGS=${PROJECT_BINARY_DIR}/fuzz-findings/${name}
        -DSECONDS=${PARPORT_FUZZ_SECONDS}
        -P ${PROJECT_SOURCE_DIR}/cmake/RunFuzzer.cmake)
    math(EXPR timeout "${PARPORT_FUZZ_SECONDS} + 120")
    set_tests_properties(${name}.fuzz PROPERTIES LABELS fuzz TIMEOUT ${timeout})
  endif()
endfunction()
