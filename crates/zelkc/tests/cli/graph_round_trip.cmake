# A graph file written by `zelkc graph` compiles to the very schedule
# document that compiling the encoder directly gives.
#
#   cmake -DZELKC=<exe> -DCASE_DIR=<dir> [-DENCODER=<a^^b>] -P graph_round_trip.cmake

cmake_minimum_required(VERSION 3.25)

string(REPLACE "^^" ";" encoder "${ENCODER}")
file(REMOVE_RECURSE "${CASE_DIR}")
file(MAKE_DIRECTORY "${CASE_DIR}")

function(run)
  execute_process(COMMAND "${ZELKC}" ${ARGN} WORKING_DIRECTORY "${CASE_DIR}"
    RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "zelkc ${ARGN} failed (${status}): ${err}")
  endif()
endfunction()

run(graph ${encoder} -o graph.json)
run(compile --graph graph.json --emit json -o from-file.json)
run(compile ${encoder} --emit json -o direct.json)
file(READ "${CASE_DIR}/from-file.json" from_file)
file(READ "${CASE_DIR}/direct.json" direct)
if(NOT from_file STREQUAL direct)
  message(FATAL_ERROR "the graph file compiles to another schedule document")
endif()
string(LENGTH "${direct}" length)
if(length LESS 1000)
  message(FATAL_ERROR "the schedule document is suspiciously short")
endif()
