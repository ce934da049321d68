# Fuzzes one libFuzzer target for a bounded time (the <name>.fuzz tests):
#   cmake -DFUZZER=<program> -DSEEDS=<seed folder> -DWORK=<folder>
#         -DFINDINGS=<folder> -DSECONDS=<n> -P RunFuzzer.cmake
# The seeds are copied into WORK first, so the inputs the run adds never
# touch the source tree. A finding fails the test; its input stays in
# FINDINGS and is printed in hex, so it can be recovered from a CI log alone.
file(REMOVE_RECURSE ${WORK} ${FINDINGS})
file(MAKE_DIRECTORY ${WORK} ${FINDINGS})
file(GLOB seeds ${SEEDS}/*)
file(COPY ${seeds} DESTINATION ${WORK})

execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=1024
          -print_final_stats=1 -artifact_prefix=${FINDINGS}/ ${WORK}
  RESULT_VARIABLE result
  ERROR_VARIABLE log)

# The closing statistics: executions and time.
string(REGEX MATCHALL "stat::[a-z_]+: *[0-9]+" stats "${log}")
list(JOIN stats "\n" stats)
file(GLOB corpus ${WORK}/*)
list(LENGTH seeds seed_count)
list(LENGTH corpus corpus_count)
message("${FUZZER}: ${seed_count} seeds, corpus now ${corpus_count} inputs\n${stats}")

if(NOT result EQUAL 0)
  # The end of the log holds the report (the sanitizer's or the broken
  # invariant's) and libFuzzer's summary.
  string(LENGTH "${log}" length)
  if(length GREATER 12000)
    math(EXPR start "${length} - 12000")
    string(SUBSTRING "${log}" ${start} -1 log)
  endif()
  message("${log}")
  file(GLOB findings ${FINDINGS}/*)
  foreach(finding IN LISTS findings)
    file(READ ${finding} hex HEX)
    message("finding ${finding} (hex):\n${hex}")
  endforeach()
  message(FATAL_ERROR "the fuzzer found a failing input (exit ${result})")
endif()
