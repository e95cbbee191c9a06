# A graph file that zelkc writes (`zelkc graph`, `zelkc import`) compiles to
# the very schedule document that compiling its source directly gives.
#
#   cmake -DZELKC=<exe> -DCASE_DIR=<dir> -DWRITE=<graph^^a^^b> -DSOURCE=<a^^b>
#     -P graph_round_trip.cmake
#
# WRITE is the command writing the graph file (without -o), SOURCE the flags
# of `zelkc compile` for its source.

cmake_minimum_required(VERSION 3.25)

string(REPLACE "^^" ";" write "${WRITE}")
string(REPLACE "^^" ";" source "${SOURCE}")
file(REMOVE_RECURSE "${CASE_DIR}")
file(MAKE_DIRECTORY "${CASE_DIR}")

function(run)
  execute_process(COMMAND "${ZELKC}" ${ARGN} WORKING_DIRECTORY "${CASE_DIR}"
    RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "zelkc ${ARGN} failed (${status}): ${err}")
  endif()
endfunction()

run(${write} -o graph.json)
run(compile --graph graph.json --emit json -o from-file.json)
run(compile ${source} --emit json -o direct.json)
file(READ "${CASE_DIR}/from-file.json" from_file)
file(READ "${CASE_DIR}/direct.json" direct)
if(NOT from_file STREQUAL direct)
  message(FATAL_ERROR "the graph file compiles to another schedule document")
endif()
string(LENGTH "${direct}" length)
if(length LESS 1000)
  message(FATAL_ERROR "the schedule document is suspiciously short")
endif()
